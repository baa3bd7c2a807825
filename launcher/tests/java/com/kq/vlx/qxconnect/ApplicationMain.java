package com.kq.vlx.qxconnect;

import java.awt.EventQueue;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.lang.management.ManagementFactory;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;

import javax.swing.JFrame;
import javax.swing.JLabel;

/**
 * Stand-in for the desktop application in the launcher's tests: it reports what reached it
 * and behaves as the environment asks.
 *
 * KQ_TEST_REPORT  file that receives "option", "arg", "property" and "conn" lines
 * KQ_TEST_MODE    return (default) | throw | wait | listen | swing
 *                 wait: until the file KQ_TEST_QUIT exists (60 s at most);
 *                 listen: as wait, with a listener on 127.0.0.1:46001 reporting each connection;
 *                 swing: as listen, with a main window of the application's class and title.
 */
public final class ApplicationMain {
    private ApplicationMain() {
    }

    private static Path report;

    private static synchronized void report(String line) {
        if (report == null) {
            return;
        }
        try {
            Files.write(report, (line + "\n").getBytes(StandardCharsets.UTF_8), StandardOpenOption.CREATE,
                    StandardOpenOption.APPEND);
        } catch (IOException e) {
            System.err.println("report: " + e);
        }
    }

    private static String escape(String text) {
        StringBuilder out = new StringBuilder();
        for (char c : text.toCharArray()) {
            if (c >= 0x20 && c < 0x7F && c != '\\') {
                out.append(c);
            } else {
                out.append(String.format("\\u%04x", (int) c));
            }
        }
        return out.toString();
    }

    private static String hex(byte[] bytes) {
        StringBuilder out = new StringBuilder();
        for (byte b : bytes) {
            out.append(String.format("%02x", b & 0xFF));
        }
        return out.toString();
    }

    private static void listen() throws IOException {
        ServerSocket server = new ServerSocket();
        server.setReuseAddress(true);
        server.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), 46001));
        report("listening");
        Thread t = new Thread(() -> {
            while (true) {
                try (Socket s = server.accept(); InputStream in = s.getInputStream()) {
                    ByteArrayOutputStream data = new ByteArrayOutputStream();
                    in.transferTo(data);
                    report("conn " + hex(data.toByteArray()));
                } catch (IOException e) {
                    return;
                }
            }
        }, "listener");
        t.setDaemon(true);
        t.start();
    }

    private static void showWindow() throws Exception {
        // The toolkit names the class in its constructor: it must exist before the name is changed.
        java.awt.Toolkit.getDefaultToolkit();
        java.lang.reflect.Field name = Class.forName("sun.awt.X11.XToolkit").getDeclaredField("awtAppClassName");
        name.setAccessible(true);
        name.set(null, "com.kq.vlx.qxconnect.gui.MainFrame");
        EventQueue.invokeAndWait(() -> {
            JFrame frame = new JFrame("Orvane-Connect (test)");
            frame.add(new JLabel("launcher test"));
            frame.setSize(320, 200);
            frame.setLocation(40, 40);
            frame.setDefaultCloseOperation(JFrame.DISPOSE_ON_CLOSE);
            frame.setVisible(true);
        });
        report("window");
    }

    private static void waitForQuit() throws InterruptedException {
        String quit = System.getenv("KQ_TEST_QUIT");
        long end = System.currentTimeMillis() + 60_000;
        while (System.currentTimeMillis() < end && (quit == null || !Files.exists(Paths.get(quit)))) {
            Thread.sleep(20);
        }
    }

    public static void main(String[] args) throws Exception {
        String where = System.getenv("KQ_TEST_REPORT");
        report = where == null ? null : Paths.get(where);
        for (String option : ManagementFactory.getRuntimeMXBean().getInputArguments()) {
            report("option " + escape(option));
        }
        report("property java.class.path=" + System.getProperty("java.class.path"));
        report("property java.library.path=" + System.getProperty("java.library.path"));
        report("property thread=" + Thread.currentThread().getName());
        for (String arg : args) {
            report("arg " + escape(arg));
        }
        String mode = System.getenv("KQ_TEST_MODE");
        mode = mode == null ? "return" : mode;
        switch (mode) {
            case "throw":
                throw new IllegalStateException("test failure out of main");
            case "listen":
                listen();
                waitForQuit();
                break;
            case "swing":
                listen();
                showWindow();
                waitForQuit();
                for (java.awt.Window w : java.awt.Window.getWindows()) {
                    EventQueue.invokeAndWait(w::dispose);
                }
                break;
            case "wait":
                waitForQuit();
                break;
            default:
                break;
        }
        report("end");
    }
}
