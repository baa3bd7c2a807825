package com.kq.vlx.qxconnect;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertNull;
import static org.junit.Assert.assertTrue;
import static org.junit.Assert.fail;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

import org.junit.After;
import org.junit.Before;
import org.junit.Test;

/** The listener for forwarded arguments, on a free loopback port. */
public class ArgumentListenerTest {
    private final BlockingQueue<String> received = new LinkedBlockingQueue<>();
    private ArgumentListener listener;

    @Before
    public void start() throws IOException {
        ArgumentListener.readTimeoutMs = 500;
        listener = new ArgumentListener(received::add, 0);
        listener.start();
    }

    @After
    public void stop() {
        listener.close();
    }

    private void send(byte[]... parts) throws IOException {
        try (Socket s = new Socket(InetAddress.getLoopbackAddress(), listener.localPort());
             OutputStream out = s.getOutputStream()) {
            for (byte[] p : parts) {
                out.write(p);
                out.flush();
            }
        }
    }

    @Test
    public void eachConnectionIsOneTextReadToTheSendersClose() throws Exception {
        send("first.txt".getBytes("UTF-8"), "second.txt".getBytes("UTF-8"));
        send("third".getBytes("UTF-8"));
        assertEquals("first.txtsecond.txt", received.poll(5, TimeUnit.SECONDS));
        assertEquals("third", received.poll(5, TimeUnit.SECONDS));
    }

    @Test
    public void anEmptyConnectionGivesAnEmptyText() throws Exception {
        send();
        assertEquals("", received.poll(5, TimeUnit.SECONDS));
    }

    @Test
    public void aSenderThatStaysSilentDoesNotBlockTheNext() throws Exception {
        try (Socket silent = new Socket(InetAddress.getLoopbackAddress(), listener.localPort())) {
            silent.getOutputStream().write('x');
            // The listener drops the silent one after its read time-out; the next one then gets through.
            send("next".getBytes("UTF-8"));
            assertEquals("next", received.poll(ArgumentListener.readTimeoutMs + 5000, TimeUnit.MILLISECONDS));
        }
    }

    @Test
    public void oversizedStreamsAreDropped() throws Exception {
        assertNull(ArgumentListener.read(new ByteArrayInputStream(new byte[ArgumentListener.MAX_BYTES + 1])));
        assertEquals(ArgumentListener.MAX_BYTES,
                ArgumentListener.read(new ByteArrayInputStream(new byte[ArgumentListener.MAX_BYTES])).length());
    }

    @Test
    public void aTakenPortIsReported() throws Exception {
        try (ServerSocket taken = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            ArgumentListener second = new ArgumentListener(received::add, taken.getLocalPort());
            try {
                second.start();
                fail("the port is taken");
            } catch (IOException expected) {
                assertTrue(expected.getMessage() != null);
            }
        }
    }
}
