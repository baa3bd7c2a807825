package com.kq.vlx.qxconnect.bridgetests;

import static com.kq.vlx.qxconnect.bridgetests.Keys.*;
import static org.junit.Assert.assertArrayEquals;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;
import static org.junit.Assert.assertThrows;
import static org.junit.Assert.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

import org.junit.After;
import org.junit.Before;
import org.junit.Test;

import com.kq.vlx.qxconnect.app.DeviceFileXferException;
import com.kq.vlx.qxconnect.app.DeviceNotConnectedException;
import com.kq.vlx.qxconnect.app.GenericCommException;

/**
 * sendFile and getFile: the progress the application sees (0 to 99 from the library, then
 * 100 from the completion notice), cancelling from sendCallBack, and each native's table of
 * result codes.
 */
public class TransferTest extends BridgeTestBase {
    private Path dir;

    @Before
    public void makeFolder() throws Exception {
        dir = Files.createTempDirectory("qx-xfer-");
    }

    @After
    public void removeFolder() {
        Simulator.removeTree(dir);
    }

    private Path hostFile(String name, int size) throws Exception {
        Path p = dir.resolve(name);
        byte[] data = new byte[size];
        for (int i = 0; i < size; i++) data[i] = (byte) (i * 7 + i / 251);
        Files.write(p, data);
        return p;
    }

    /** Values from the library lie in 0..99 and never fall; the completion notice ends them. */
    private void assertProgressEndsWithCompletion(List<Integer> values) {
        assertTrue(values.toString(), values.size() >= 2);
        assertEquals(values.toString(), Integer.valueOf(100), values.get(values.size() - 1));
        assertEquals(values.toString(), Integer.valueOf(99), values.get(values.size() - 2));
        int previous = 0;
        for (int v : values.subList(0, values.size() - 1)) {
            assertTrue(values.toString(), v >= previous && v <= 99);
            previous = v;
        }
    }

    // ---- both ways through the handheld's storage ---------------------------------------------

    /**
     * What the application sees while {@code size} bytes are sent: the percentage after each
     * 1536-byte block that carries the count since the library's last call past 500 bytes,
     * and after the data (99), each value once, then the completion notice.
     */
    static List<Integer> expectedSendProgress(int size) {
        List<Integer> values = new ArrayList<>();
        long done = 0;
        while (done < size) {
            long block = Math.min(1536, size - done);
            done += block;
            if (block > 500) values.add((int) Math.min(99, done * 100 / size));
        }
        values.add(size == 0 ? 0 : 99);
        values.add(100);
        return once(values);
    }

    /**
     * The values with repeats in a row taken out.  The bridge passes a percentage on again
     * only after 100 ms without a new one, so a slow machine may show a repeat.
     */
    static List<Integer> once(List<Integer> values) {
        List<Integer> out = new ArrayList<>();
        for (Integer v : values)
            if (out.isEmpty() || !out.get(out.size() - 1).equals(v)) out.add(v);
        return out;
    }

    @Test
    public void aSendOfOneBlockSees99FromTheLibraryThen100() throws Exception {
        Path storage = folder();
        Simulator s = simOn(storage);
        Path f = hostFile("one.bin", 1536);
        assertEquals(0, api.sendFile(s.addr(), f.toString(), "/one.bin"));
        assertEquals(List.of(99, 100), once(progress.values()));
        assertSameBytes(f, storage.resolve("one.bin"));
    }

    @Test
    public void aFileTravelsBothWaysWithTheProgressTheApplicationSees() throws Exception {
        Path storage = folder();
        Files.createDirectory(storage.resolve("my docs"));
        Simulator s = simOn(storage);
        Path f = hostFile("source.bin", 100000);
        assertEquals(0, api.sendFile(s.addr(), f.toString(), "/my docs/data.bin"));
        assertEquals(expectedSendProgress(100000), once(progress.values()));
        assertSameBytes(f, storage.resolve("my docs/data.bin"));

        progress.clear();
        Path back = dir.resolve("back.bin");
        assertEquals(0, api.getFile(s.addr(), "/my docs/data.bin", back.toString()));
        assertSameBytes(f, back);
        assertProgressEndsWithCompletion(progress.values());
        assertTrue(progress.values().toString(), progress.values().size() > 10);
        assertEquals(List.of("fput /my\\ docs/data.bin 100000 0\n", "fget /my\\ docs/data.bin 0\n"), s.requests());
    }

    @Test
    public void aLargeTransferReportsEachPercentageRatherThanEachBlock() throws Exception {
        Path storage = folder();
        Simulator s = simOn(storage);
        Path f = hostFile("large.bin", 4 << 20);  // 2731 blocks
        assertEquals(0, api.sendFile(s.addr(), f.toString(), "/large.bin"));
        List<Integer> seen = progress.values();
        assertEquals(expectedSendProgress(4 << 20), once(seen));
        assertTrue("at most a few repeats: " + seen.size(), seen.size() < 150);

        progress.clear();
        Path back = dir.resolve("large-back.bin");
        assertEquals(0, api.getFile(s.addr(), "/large.bin", back.toString()));
        assertSameBytes(f, back);
        assertProgressEndsWithCompletion(once(progress.values()));
        assertTrue("at most a few repeats: " + progress.values().size(), progress.values().size() < 150);
    }

    @Test
    public void cancellingASendStoresNothing() throws Exception {
        Path storage = folder();
        Simulator s = simOn(storage);
        Path f = hostFile("big.bin", 100000);
        progress.stopAfter(3);
        assertEquals(-1013, api.sendFile(s.addr(), f.toString(), "/big.bin"));
        List<Integer> expected = new ArrayList<>(expectedSendProgress(100000).subList(0, 3));
        expected.add(100);   // the completion notice
        assertEquals(expected, once(progress.values()));
        assertFalse(Files.exists(storage.resolve("big.bin")));
    }

    @Test
    public void cancellingAFetchFromStorageLeavesNoHostFile() throws Exception {
        Path storage = folder();
        Files.write(storage.resolve("big.bin"), new byte[200000]);
        Simulator s = simOn(storage);
        Path target = dir.resolve("big-back.bin");
        progress.stopAfter(2);
        assertEquals(-1013, api.getFile(s.addr(), "/big.bin", target.toString()));
        List<Integer> seen = progress.values();
        assertEquals(seen.toString(), Integer.valueOf(100), seen.get(seen.size() - 1));
        assertFalse(Files.exists(target));
    }

    @Test
    public void refusalsOfTheHandheldsStorage() throws Exception {
        Path storage = folder();
        Simulator s = simOn(storage);
        Path f = hostFile("r.bin", 2000);
        raises(DeviceFileXferException.class, SEND_BAD_PATH, () -> api.sendFile(s.addr(), f.toString(), "/no/such/r.bin"));
        raises(DeviceFileXferException.class, GET_BAD_PATH,
                () -> api.getFile(s.addr(), "/missing.bin", dir.resolve("m.bin").toString()));
        raises(DeviceFileXferException.class, PATH_TOO_LONG,
                () -> api.sendFile(s.addr(), f.toString(), "/" + "n".repeat(300)));
        assertFalse(Files.exists(dir.resolve("m.bin")));

        Simulator small = simOn(storage, "--set", "disk=16777216,1000,0");
        raises(DeviceFileXferException.class, DEVICE_DISK_FULL, () -> api.sendFile(small.addr(), f.toString(), "/r.bin"));

        Simulator none = sim();  // no storage at all
        raises(DeviceFileXferException.class, PERMISSION_DENIED, () -> api.sendFile(none.addr(), f.toString(), "/r.bin"));
        raises(DeviceFileXferException.class, PERMISSION_DENIED,
                () -> api.getFile(none.addr(), "/r.bin", dir.resolve("n.bin").toString()));
        assertEquals(List.of(), progress.values());
    }

    @Test
    public void transfersThatBreakOffOnTheWay() throws Exception {
        Path storage = folder();
        Path f = hostFile("w.bin", 20000);
        Files.copy(f, storage.resolve("w.bin"));

        // The handheld takes all the content but never answers: no final status.
        Simulator mute = simOn(storage, "--fault-cmd", "fput", "--xfer-close", "20000");
        raises(GenericCommException.class, GENERIC, () -> api.sendFile(mute.addr(), f.toString(), "/x.bin"));
        // It announces more than it sends: a short fetch.
        Simulator shortOne = simOn(storage, "--fault-cmd", "fget", "--xfer-size", "30000");
        raises(GenericCommException.class, GENERIC, () -> api.getFile(shortOne.addr(), "/w.bin", dir.resolve("s.bin").toString()));
        // Its final status after the data: a short transfer on its side.
        Simulator full = simOn(storage, "--fault-cmd", "fput", "--final-status", "1023");
        raises(DeviceFileXferException.class, DEVICE_DISK_FULL, () -> api.sendFile(full.addr(), f.toString(), "/y.bin"));
        assertFalse(Files.exists(storage.resolve("x.bin")));
        assertFalse(Files.exists(storage.resolve("y.bin")));
        // A negative final status: -1013, which no table names, so no exception, and the
        // completion notice as for a cancelled send.
        Simulator negative = simOn(storage, "--fault-cmd", "fput", "--final-status", "-5");
        progress.clear();
        assertEquals(-1013, api.sendFile(negative.addr(), f.toString(), "/z.bin"));
        assertEquals(100, progress.last());
        assertFalse(Files.exists(storage.resolve("z.bin")));
    }

    // ---- fetching ----------------------------------------------------------------------------

    @Test
    public void fetchWritesTheHostFileAndReportsProgress() throws Exception {
        StringBuilder content = new StringBuilder();
        for (int i = 0; i < 30000; i++) content.append((char) ('a' + i % 26));
        Simulator s = sim("--fault-cmd", "fget", "--reply", "0 30000\n" + content);
        Path target = dir.resolve("fetched.txt");
        assertEquals(0, api.getFile(s.addr(), "/docs/a b.txt", target.toString()));
        assertEquals(content.toString(), Files.readString(target, StandardCharsets.US_ASCII));
        assertProgressEndsWithCompletion(progress.values());
        assertEquals(List.of("fget /docs/a\\ b.txt 0\n"), s.requests());
    }

    @Test
    public void aSmallFetchSeesOnlyTheLastCallAndTheNotice() throws Exception {
        Simulator s = sim("--fault-cmd", "fget", "--reply", "0 5\nhello");
        Path target = dir.resolve("small.txt");
        assertEquals(0, api.getFile(s.addr(), "/a", target.toString()));
        assertEquals("hello", Files.readString(target));
        assertEquals(List.of(99, 100), once(progress.values()));
    }

    @Test
    public void cancellingAFetchDeletesTheHostFile() throws Exception {
        StringBuilder content = new StringBuilder("x".repeat(60000));
        Simulator s = sim("--fault-cmd", "fget", "--split", "--reply", "0 60000\n" + content);
        Path target = dir.resolve("cancelled.txt");
        progress.stopAfter(1);
        assertEquals(-1013, api.getFile(s.addr(), "/a", target.toString()));
        List<Integer> seen = progress.values();
        assertEquals(seen.toString(), Integer.valueOf(100), seen.get(seen.size() - 1));
        assertFalse(Files.exists(target));
    }

    @Test
    public void aHostFileThatCannotBeCreated() throws Exception {
        Simulator s = sim("--fault-cmd", "fget", "--reply", "0 5\nhello");
        raises(DeviceFileXferException.class, HOST_IO_FAILED,
                () -> api.getFile(s.addr(), "/a", dir.resolve("no/such/folder/f").toString()));
        assertEquals(List.of(), progress.values());
        assertEquals(List.of(), s.requests());
    }

    // ---- sending -----------------------------------------------------------------------------

    @Test
    public void sendingAnEmptyFile() throws Exception {
        Simulator s = sim("--fault-cmd", "fput", "--reply", "0\n0\n");
        Path empty = hostFile("empty.bin", 0);
        assertEquals(0, api.sendFile(s.addr(), empty.toString(), "/e"));
        assertEquals(List.of(0, 100), progress.values());
        assertEquals(List.of("fput /e 0 0\n"), s.requests());
    }

    @Test
    public void sendingAMissingHostFile() throws Exception {
        Simulator s = sim();
        raises(DeviceFileXferException.class, HOST_IO_FAILED,
                () -> api.sendFile(s.addr(), dir.resolve("missing.bin").toString(), "/m"));
        assertEquals(List.of(), progress.values());
        assertEquals(List.of(), s.requests());
    }

    @Test
    public void aListenerThatThrowsStopsTheTransferAndItsExceptionReachesTheCaller() throws Exception {
        StringBuilder content = new StringBuilder("y".repeat(60000));
        Simulator s = sim("--fault-cmd", "fget", "--split", "--reply", "0 60000\n" + content);
        Path target = dir.resolve("thrown.txt");
        progress.throwAfter(1);
        IllegalStateException e = assertThrows(IllegalStateException.class,
                () -> api.getFile(s.addr(), "/a", target.toString()));
        assertTrue(e.getMessage().startsWith("listener failed at "));
        assertEquals(1, progress.values().size());
        assertFalse(Files.exists(target));
    }

    @Test
    public void pathsTooLongForACommand() throws Exception {
        Simulator s = sim();
        Path f = hostFile("f.bin", 10);
        raises(DeviceFileXferException.class, SEND_BAD_PATH, () -> api.sendFile(s.addr(), f.toString(), longPath()));
        raises(DeviceFileXferException.class, GET_BAD_PATH, () -> api.getFile(s.addr(), longPath(), f.toString()));
        assertEquals(List.of(), progress.values());
        assertEquals(List.of(), s.requests());
    }

    // ---- result codes ------------------------------------------------------------------------

    /**
     * sendFile and getFile against a handheld that refuses them with {@code status}: each
     * raises its expected exception (null: none, and then the completion notice follows).
     */
    private void checkStatus(int status, Class<? extends Throwable> sendType, String sendKey,
                             Class<? extends Throwable> getType, String getKey) throws Exception {
        Simulator s = sim("--status", Integer.toString(status));
        Path f = hostFile("f" + status + ".bin", 100);
        Path target = dir.resolve("g" + status + ".bin");
        String at = " for status " + status;

        progress.clear();
        if (sendType == null) {
            assertEquals("sendFile" + at, -status, api.sendFile(s.addr(), f.toString(), "/x"));
            assertEquals("sendFile" + at, List.of(100), progress.values());
        } else {
            raises(sendType, sendKey, () -> api.sendFile(s.addr(), f.toString(), "/x"));
            assertEquals("sendFile" + at, List.of(), progress.values());
        }

        progress.clear();
        if (getType == null) {
            assertEquals("getFile" + at, -status, api.getFile(s.addr(), "/x", target.toString()));
            assertEquals("getFile" + at, List.of(100), progress.values());
        } else {
            raises(getType, getKey, () -> api.getFile(s.addr(), "/x", target.toString()));
            assertEquals("getFile" + at, List.of(), progress.values());
        }
        assertFalse("a refused fetch leaves no host file" + at, Files.exists(target));
    }

    @Test
    public void notConnectedCodes() throws Exception {
        for (int status : new int[] {201, 202, 211})
            checkStatus(status, DeviceNotConnectedException.class, NOT_CONNECTED, DeviceNotConnectedException.class,
                    NOT_CONNECTED);
    }

    @Test
    public void genericFailureCodes() throws Exception {
        for (int status : new int[] {1102, 254, 253, 221, 220, 212})
            checkStatus(status, GenericCommException.class, GENERIC, GenericCommException.class, GENERIC);
    }

    @Test
    public void shortTransferIsDiskFullOnlyWhenSending() throws Exception {
        checkStatus(1023, DeviceFileXferException.class, DEVICE_DISK_FULL, GenericCommException.class, GENERIC);
    }

    @Test
    public void transferCodes() throws Exception {
        checkStatus(1001, DeviceFileXferException.class, PERMISSION_DENIED, DeviceFileXferException.class,
                PERMISSION_DENIED);
        checkStatus(1004, DeviceFileXferException.class, HOST_IO_FAILED, DeviceFileXferException.class, HOST_IO_FAILED);
        checkStatus(1021, DeviceFileXferException.class, DEVICE_DISK_FULL, null, null);
        checkStatus(1022, DeviceFileXferException.class, SEND_BAD_PATH, DeviceFileXferException.class, GET_BAD_PATH);
        checkStatus(1036, DeviceFileXferException.class, PATH_TOO_LONG, null, null);
    }

    @Test
    public void otherCodesAreOnlyReturnedWithTheNotice() throws Exception {
        for (int status : new int[] {2, 5, 1035, 1002}) checkStatus(status, null, null, null, null);
    }

    @Test
    public void unreachableHandheld() throws Exception {
        Path f = hostFile("u.bin", 10);
        raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.sendFile(nobody(), f.toString(), "/x"));
        raises(DeviceNotConnectedException.class, NOT_CONNECTED,
                () -> api.getFile(nobody(), "/x", dir.resolve("u2.bin").toString()));
        assertEquals(List.of(), progress.values());
    }

    static List<Integer> ints(int... values) {
        List<Integer> l = new ArrayList<>();
        for (int v : values) l.add(v);
        return l;
    }

    static void assertSameBytes(Path expected, Path actual) throws Exception {
        assertArrayEquals(Files.readAllBytes(expected), Files.readAllBytes(actual));
    }
}
