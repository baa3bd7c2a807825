package com.kq.vlx.qxconnect;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertNull;
import static org.junit.Assert.assertTrue;

import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.Collections;
import java.util.concurrent.ThreadLocalRandom;

import org.junit.After;
import org.junit.Test;

/** Addresses from the configuration, device paths and message texts. */
public class DeviceSessionTest {
    @After
    public void clear() {
        System.clearProperty("qxconnect.handheld");
    }

    @Test
    public void dottedAddressesInHostOrder() {
        assertEquals(0xAC100002L, DeviceSession.parseAddress("172.16.0.2"));
        assertEquals(0x7F000007L, DeviceSession.parseAddress("127.0.0.7"));
        assertEquals(0xFFFFFFFFL, DeviceSession.parseAddress("255.255.255.255"));
        for (String bad : new String[] {"", "1.2.3", "1.2.3.4.5", "256.0.0.1", "1..2.3", "a.b.c.d", "1.2.3.-4",
                "1.2.3.0004", " 1.2.3.4"}) {
            assertEquals(bad, -1, DeviceSession.parseAddress(bad));
        }
    }

    @Test
    public void configuredAddressesSkipWhatIsNotAnAddress() {
        System.setProperty("qxconnect.handheld", "127.0.0.7, nonsense,172.16.0.2");
        assertEquals(Arrays.asList(0x7F000007L, 0xAC100002L), DeviceSession.configuredAddresses());
        System.setProperty("qxconnect.handheld", "nonsense");
        assertEquals(Collections.emptyList(), DeviceSession.configuredAddresses());
    }

    @Test
    public void theNameComesFromTheHandheldsProbeAnswer() throws Exception {
        // A handheld's probe port on a loopback address of this test's own.
        ThreadLocalRandom random = ThreadLocalRandom.current();
        long addr = 0x7F000000L | (random.nextInt(1, 255) << 16) | (random.nextInt(1, 255) << 8) | random.nextInt(1, 255);
        byte[] ip = {127, (byte) (addr >>> 16), (byte) (addr >>> 8), (byte) addr};
        try (DatagramSocket handheld = new DatagramSocket(DeviceSession.PROBE_PORT, InetAddress.getByAddress(ip))) {
            Thread answer = new Thread(() -> {
                try {
                    byte[] buf = new byte[64];
                    DatagramPacket probe = new DatagramPacket(buf, buf.length);
                    handheld.receive(probe);
                    String text = new String(buf, 0, probe.getLength(), StandardCharsets.US_ASCII);
                    byte[] reply = (text.equals("zr-api4-q") ? "orv LUMARA" : "wrong probe").getBytes(StandardCharsets.US_ASCII);
                    handheld.send(new DatagramPacket(reply, reply.length, probe.getSocketAddress()));
                } catch (Exception e) {
                    // the test fails on the missing name
                }
            });
            answer.start();
            assertEquals("LUMARA", DeviceSession.handheldName(addr));
            answer.join(5000);
        }
        // Nobody there: no name, after the probe's short wait.
        long start = System.nanoTime();
        assertNull(DeviceSession.handheldName(addr));
        assertTrue(System.nanoTime() - start < 3_000_000_000L);
    }

    @Test
    public void probeAnswersWithoutAName() {
        byte[] plain = "orv".getBytes(StandardCharsets.US_ASCII);
        assertNull(DeviceSession.nameFromProbeAnswer(plain, plain.length));
        byte[] blank = "orv \0\0".getBytes(StandardCharsets.US_ASCII);
        assertNull(DeviceSession.nameFromProbeAnswer(blank, blank.length));
        byte[] other = "xyz NAME".getBytes(StandardCharsets.US_ASCII);
        assertNull(DeviceSession.nameFromProbeAnswer(other, other.length));
        byte[] named = "orv  LUMA 2\0".getBytes(StandardCharsets.US_ASCII);
        assertEquals("LUMA 2", DeviceSession.nameFromProbeAnswer(named, named.length));
    }

    @Test
    public void devicePaths() {
        assertEquals("/docs", DeviceSession.child("/", "docs"));
        assertEquals("/docs/a.txt", DeviceSession.child("/docs", "a.txt"));
        assertEquals("/docs", DeviceSession.parent("/docs/a.txt"));
        assertEquals("/", DeviceSession.parent("/docs"));
        assertEquals("/", DeviceSession.parent("/"));
    }

    @Test
    public void messageKeysShowAsTexts() {
        assertTrue(Messages.text("Error.DeviceNotConnected").startsWith("The handheld does not answer"));
        assertTrue(Messages.text("Error.DeviceInstallOS.BatteryLow").contains("battery"));
        assertEquals("Error.Unknown.Key", Messages.text("Error.Unknown.Key"));
        assertEquals("Unknown failure", Messages.text(null));
    }
}
