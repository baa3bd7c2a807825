package com.kq.vlx.qxconnect.bridgetests;

import static com.kq.vlx.qxconnect.bridgetests.Keys.*;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertNull;
import static org.junit.Assert.assertTrue;

import java.io.File;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.FileTime;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

import org.junit.Test;

import com.kq.vlx.qxconnect.app.DeviceFileNotFoundException;
import com.kq.vlx.qxconnect.app.DeviceNotConnectedException;
import com.kq.vlx.qxconnect.app.GenericCommException;

/** Listings (dirinit, direnum, dirdone) and fileAttrs. */
public class ListingTest extends BridgeTestBase {
    private static final String FOLDER = "0\n"
            + "alpha.txt\nsize=1234\ntime=1700000000\ntype=0\nbits=7\n\n"
            + "sub\ntype=1\n\n"
            + "big\nsize=4294967295\ntime=4294967295\ntype=256\n\n";

    /** Reads a listing to its end: "name: setter calls" for each entry. */
    private static List<String> readAll(int handle) throws Exception {
        List<String> entries = new ArrayList<>();
        while (true) {
            Recording.Attributes a = new Recording.Attributes();
            String name = api.direnum(handle, a);
            if (name == null) {
                assertTrue("no setter at the end", a.calls.isEmpty());
                return entries;
            }
            entries.add(name + ": " + String.join(" ", a.calls));
        }
    }

    @Test
    public void aFolderOfTheHandheldsStorage() throws Exception {
        Path storage = folder();
        Path docs = Files.createDirectory(storage.resolve("my docs"));
        Files.write(docs.resolve("b.txt"), new byte[1234]);
        Files.setLastModifiedTime(docs.resolve("b.txt"), FileTime.fromMillis(1700000000000L));
        Files.createDirectory(docs.resolve("a folder"));
        Simulator s = simOn(storage);

        int h = api.dirinit(s.addr(), "/my docs");
        assertTrue("handle " + h, h >= 0);
        List<String> entries = readAll(h);
        assertEquals(0, api.dirdone(h));
        assertEquals(entries.toString(), 2, entries.size());
        assertTrue(entries.get(0), entries.get(0).matches("a folder: setSize=\\d+ setIsFolder=true setDate=\\d+"));
        assertEquals("b.txt: setSize=1234 setIsFolder=false setDate=1700000000", entries.get(1));

        Recording.Attributes a = new Recording.Attributes();
        assertEquals(0, api.fileAttrs(s.addr(), "/my docs/b.txt", a));
        assertEquals(List.of("setSize=1234", "setIsFolder=false", "setDate=1700000000"), a.calls);
        Recording.Attributes f = new Recording.Attributes();
        assertEquals(0, api.fileAttrs(s.addr(), "/my docs/a folder", f));
        assertTrue(f.isFolder());

        raises(DeviceFileNotFoundException.class, FILE_NOT_FOUND, () -> api.dirinit(s.addr(), "/nothing here"));
        raises(DeviceFileNotFoundException.class, FILE_NOT_FOUND,
                () -> api.fileAttrs(s.addr(), "/nothing here", new Recording.Attributes()));
        assertEquals(-1034, api.dirinit(s.addr(), "/my docs/b.txt"));  // not a folder: only returned
    }

    @Test
    public void aListingEntryByEntryUntilTheEnd() throws Exception {
        Simulator s = sim("--fault-cmd", "dir", "--reply", FOLDER);
        int h = api.dirinit(s.addr(), "/my docs");
        assertTrue("handle " + h, h >= 0);
        assertEquals(List.of(
                "alpha.txt: setSize=1234 setIsFolder=false setDate=1700000000",
                "sub: setSize=0 setIsFolder=true setDate=0",
                "big: setSize=4294967295 setIsFolder=false setDate=4294967295"), readAll(h));
        assertNull("still at the end", api.direnum(h, new Recording.Attributes()));
        assertEquals(0, api.dirdone(h));
        assertEquals(List.of("dir /my\\ docs\n"), s.requests());
    }

    @Test
    public void anEmptyFolderEndsAtOnce() throws Exception {
        Simulator s = sim("--fault-cmd", "dir", "--reply", "0\n");
        int h = api.dirinit(s.addr(), "/");
        assertEquals(List.of(), readAll(h));
        assertEquals(0, api.dirdone(h));
    }

    @Test
    public void namesAreCutToTheBufferAndAnyBytesMakeAString() throws Exception {
        String longName = "n".repeat(600);
        Simulator s = sim("--fault-cmd", "dir", "--reply", "0\n" + longName + "\n\ncaf\\xE9 \\xC3\\xA9t\\xC3\\xA9\n\n");
        int h = api.dirinit(s.addr(), "/");
        assertEquals("n".repeat(511), api.direnum(h, new Recording.Attributes()));
        assertEquals("caf\u00e9 \u00e9t\u00e9", api.direnum(h, new Recording.Attributes()));
        assertEquals(0, api.dirdone(h));
    }

    @Test
    public void anEntryWithAnEmptyNameLineIsAFailure() throws Exception {
        Simulator s = sim("--fault-cmd", "dir", "--reply", "0\n\r\nsize=5\n\n");
        int h = api.dirinit(s.addr(), "/");
        Recording.Attributes a = new Recording.Attributes();
        raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.direnum(h, a));
        assertTrue(a.calls.isEmpty());
        assertEquals(0, api.dirdone(h));
    }

    @Test
    public void anEntryCutOffBeforeItsEndIsACommunicationFailure() throws Exception {
        // The handheld closes after the folder's type line, before the entry's empty line.
        Simulator s = sim("--fault-cmd", "dir", "--reply", "0\nfirst\ntype=1\n\nsub\ntype=1\n");
        int h = api.dirinit(s.addr(), "/");
        assertEquals("first", api.direnum(h, new Recording.Attributes()));
        Recording.Attributes a = new Recording.Attributes();
        raises(GenericCommException.class, GENERIC, () -> api.direnum(h, a));
        assertTrue("no setter for a cut entry", a.calls.isEmpty());
        assertEquals(0, api.dirdone(h));
    }

    @Test
    public void closedOrUnknownHandles() throws Exception {
        Simulator s = sim("--fault-cmd", "dir", "--reply", FOLDER);
        int h = api.dirinit(s.addr(), "/");
        assertEquals(0, api.dirdone(h));
        assertEquals(-223, api.dirdone(h));
        raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.direnum(h, new Recording.Attributes()));
        raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.direnum(-5, new Recording.Attributes()));
        assertEquals(-223, api.dirdone(-5));
    }

    @Test
    public void aConnectionResetDuringAListingIsACommunicationFailure() throws Exception {
        // A scripted handheld that accepts the listing, then resets the connection.
        String addr = Simulator.text(Simulator.freshLoopback());
        try (ServerSocket server = new ServerSocket()) {
            server.bind(new InetSocketAddress(InetAddress.getByName(addr), 10001));
            CountDownLatch listed = new CountDownLatch(1);
            CountDownLatch reset = new CountDownLatch(1);
            Thread peer = new Thread(() -> {
                try (Socket c = server.accept()) {
                    InputStream in = c.getInputStream();
                    while (in.read() != '\n') { /* the request line */ }
                    OutputStream out = c.getOutputStream();
                    out.write("0\n".getBytes(StandardCharsets.US_ASCII));
                    out.flush();
                    listed.await(5, TimeUnit.SECONDS);
                    c.setSoLinger(true, 0);  // close with a reset
                } catch (Exception e) {
                    // the test's own checks report the outcome
                } finally {
                    reset.countDown();
                }
            });
            peer.start();
            int h = api.dirinit(Simulator.parse(addr), "/");
            assertTrue("handle " + h, h >= 0);
            listed.countDown();
            assertTrue(reset.await(5, TimeUnit.SECONDS));
            Thread.sleep(100);
            raises(GenericCommException.class, GENERIC, () -> api.direnum(h, new Recording.Attributes()));
            assertEquals(0, api.dirdone(h));
            peer.join(5000);
        }
    }

    // ---- dirinit failures and its diagnostic ------------------------------------------------

    @Test
    public void dirinitRaisesOnlyForAPathItCannotUse() throws Exception {
        Simulator refused = sim("--status", "1022");
        raises(DeviceFileNotFoundException.class, FILE_NOT_FOUND, () -> api.dirinit(refused.addr(), "/nothing"));
        Simulator other = sim("--status", "2");
        assertEquals(-2, api.dirinit(other.addr(), "/nothing"));
        for (int status : new int[] {202, 220}) {
            Simulator s = sim("--status", Integer.toString(status));
            assertEquals(-status, api.dirinit(s.addr(), "/"));
        }
        assertEquals(-211, api.dirinit(nobody(), "/"));
        raises(DeviceFileNotFoundException.class, FILE_NOT_FOUND, () -> api.dirinit(other.addr(), longPath()));
    }

    /** Runs DirinitProbe in a JVM of its own: its standard output and its report. */
    private static String[] probe(long addr, String path) throws Exception {
        String java = System.getProperty("java.home") + File.separator + "bin" + File.separator + "java";
        ProcessBuilder pb = new ProcessBuilder(java, "-Djava.library.path=" + System.getProperty("java.library.path"),
                "-cp", System.getProperty("java.class.path"), DirinitProbe.class.getName(), Simulator.text(addr), path);
        Process p = pb.start();
        p.getOutputStream().close();
        byte[] out = p.getInputStream().readAllBytes();
        byte[] err = p.getErrorStream().readAllBytes();
        assertTrue(p.waitFor(30, TimeUnit.SECONDS));
        assertEquals(0, p.exitValue());
        return new String[] {new String(out, StandardCharsets.US_ASCII), new String(err, StandardCharsets.US_ASCII).trim()};
    }

    private static final String DIAGNOSTIC = "\\*{34}\nh_errno is -?\\d+\nerrno is -?\\d+\n";

    @Test
    public void dirinitWritesItsDiagnosticOnEveryCall() throws Exception {
        Simulator ok = sim("--fault-cmd", "dir", "--reply", FOLDER);
        String[] r = probe(ok.addr(), "/");
        assertTrue(r[0], r[0].matches(DIAGNOSTIC));
        assertTrue(r[1], r[1].matches("result \\d+"));

        Simulator refused = sim("--status", "1022");
        r = probe(refused.addr(), "/");
        assertTrue(r[0], r[0].matches(DIAGNOSTIC));
        assertEquals("raised DeviceFileNotFoundException " + FILE_NOT_FOUND, r[1]);

        Simulator other = sim("--status", "2");
        r = probe(other.addr(), "/");
        assertTrue(r[0], r[0].matches(DIAGNOSTIC));
        assertEquals("result -2", r[1]);
    }

    // ---- fileAttrs ---------------------------------------------------------------------------

    @Test
    public void attributesReachTheSettersInOrder() throws Exception {
        Simulator s = sim("--fault-cmd", "attr", "--reply", "0\nsize=77\ntime=5\ntype=1\n\n");
        Recording.Attributes a = new Recording.Attributes();
        assertEquals(0, api.fileAttrs(s.addr(), "/a b", a));
        assertEquals(List.of("setSize=77", "setIsFolder=true", "setDate=5"), a.calls);
        assertEquals(List.of("attr /a\\ b\n"), s.requests());

        Simulator wide = sim("--fault-cmd", "attr", "--reply", "0\nsize=4294967295\ntype=256\n\n");
        Recording.Attributes b = new Recording.Attributes();
        assertEquals(0, api.fileAttrs(wide.addr(), "/x", b));
        assertEquals(List.of("setSize=4294967295", "setIsFolder=false", "setDate=0"), b.calls);
    }

    @Test
    public void attributeFailures() throws Exception {
        Simulator missing = sim("--status", "1022");
        Recording.Attributes a = new Recording.Attributes();
        raises(DeviceFileNotFoundException.class, FILE_NOT_FOUND, () -> api.fileAttrs(missing.addr(), "/x", a));
        raises(DeviceFileNotFoundException.class, FILE_NOT_FOUND, () -> api.fileAttrs(missing.addr(), longPath(), a));
        for (int status : new int[] {201, 202, 211}) {
            Simulator s = sim("--status", Integer.toString(status));
            raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.fileAttrs(s.addr(), "/x", a));
        }
        for (int status : new int[] {1102, 1023, 254, 253, 221, 220, 212}) {
            Simulator s = sim("--status", Integer.toString(status));
            raises(GenericCommException.class, GENERIC, () -> api.fileAttrs(s.addr(), "/x", a));
        }
        for (int status : new int[] {2, 1001, 1036}) {
            Simulator s = sim("--status", Integer.toString(status));
            assertEquals(-status, api.fileAttrs(s.addr(), "/x", a));
        }
        assertEquals(List.of(), a.calls);
    }
}
