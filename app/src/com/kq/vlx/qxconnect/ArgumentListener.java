package com.kq.vlx.qxconnect;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.net.SocketTimeoutException;
import java.nio.charset.Charset;
import java.util.function.Consumer;

/**
 * Receives the arguments of later launcher starts: one TCP connection per start on port 46001 of
 * the loopback address, carrying the arguments' bytes back to back until the sender closes.
 * Each connection's bytes are handed on as one text (in the platform's encoding).  Connections are
 * served one after another on a daemon thread; one that sends more than {@link #MAX_BYTES} or
 * stays silent for {@link #readTimeoutMs} (10 s) is dropped, so that no sender can stall the others.
 */
public final class ArgumentListener {
    public static final int PORT = 46001;
    static final int MAX_BYTES = 1 << 20;
    static volatile int readTimeoutMs = 10_000;

    private final Consumer<String> receiver;
    private final int port;
    private ServerSocket server;

    public ArgumentListener(Consumer<String> receiver) {
        this(receiver, PORT);
    }

    ArgumentListener(Consumer<String> receiver, int port) {
        this.receiver = receiver;
        this.port = port;
    }

    /** Opens the port and starts serving it; an IOException when the port cannot be had. */
    public void start() throws IOException {
        ServerSocket s = new ServerSocket();
        s.setReuseAddress(true);
        try {
            s.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), port));
        } catch (IOException e) {
            s.close();
            throw e;
        }
        server = s;
        Thread thread = new Thread(this::serve, "argument-listener");
        thread.setDaemon(true);
        thread.start();
    }

    /** The port actually listened on (for a listener made with port 0). */
    int localPort() {
        return server.getLocalPort();
    }

    public void close() {
        try {
            if (server != null) {
                server.close();
            }
        } catch (IOException e) {
            // closing anyway
        }
    }

    private void serve() {
        while (!server.isClosed()) {
            try (Socket connection = server.accept()) {
                connection.setSoTimeout(readTimeoutMs);
                String text = read(connection.getInputStream());
                if (text != null) {
                    Trace.line("forwarded " + text);
                    receiver.accept(text);
                }
            } catch (IOException e) {
                if (server.isClosed()) {
                    return;
                }
            }
        }
    }

    /** The connection's text, or null when it broke the limits. */
    static String read(InputStream in) throws IOException {
        ByteArrayOutputStream data = new ByteArrayOutputStream();
        byte[] buffer = new byte[4096];
        try {
            for (int n; (n = in.read(buffer)) > 0;) {
                if (data.size() + n > MAX_BYTES) {
                    return null;
                }
                data.write(buffer, 0, n);
            }
        } catch (SocketTimeoutException e) {
            return null;
        }
        return new String(data.toByteArray(), Charset.defaultCharset());
    }
}
