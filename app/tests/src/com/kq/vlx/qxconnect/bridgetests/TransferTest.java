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
        assertEquals(List.of(99, 100), progress.values());
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
