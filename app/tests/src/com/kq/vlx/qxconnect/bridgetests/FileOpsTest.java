package com.kq.vlx.qxconnect.bridgetests;

import static com.kq.vlx.qxconnect.bridgetests.Keys.*;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertFalse;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;

import org.junit.Test;

import com.kq.vlx.qxconnect.app.DeleteFileException;
import com.kq.vlx.qxconnect.app.DeviceFileNotFoundException;
import com.kq.vlx.qxconnect.app.DeviceFileXferException;
import com.kq.vlx.qxconnect.app.DeviceNotConnectedException;
import com.kq.vlx.qxconnect.app.GenericCommException;
import com.kq.vlx.qxconnect.app.RenameFileException;

/**
 * copyFile, moveFile, delete, mkDir and rmDir: what they send, and each native's table from
 * the handheld's statuses (and the library's own codes) to exceptions, message keys and the
 * completion notice.
 */
public class FileOpsTest extends BridgeTestBase {
    /** One expected outcome: an exception class and key, or none (the code is returned). */
    private static final class Expect {
        final Class<? extends Throwable> type;
        final String key;

        Expect(Class<? extends Throwable> type, String key) {
            this.type = type;
            this.key = key;
        }
    }

    private static Expect ex(Class<? extends Throwable> type, String key) {
        return new Expect(type, key);
    }

    private static final Expect NONE = new Expect(null, null);
    private static final Expect NOT_CONN = ex(DeviceNotConnectedException.class, NOT_CONNECTED);
    private static final Expect GEN = ex(GenericCommException.class, GENERIC);
    private static final Expect NOT_FOUND = ex(DeviceFileNotFoundException.class, FILE_NOT_FOUND);
    private static final Expect DELETE = ex(DeleteFileException.class, DELETE_FAILED);

    private void check(String what, Expect e, int code, Native call) throws Exception {
        if (e.type == null) {
            assertEquals(what, code, call.call());
        } else {
            raises(e.type, e.key, call::call);
        }
    }

    /**
     * Runs every operation against a handheld that answers everything with {@code status}:
     * copy, move, delete, mkDir, rmDir must give the expected outcomes, and copy alone sends
     * the completion notice when it raises nothing.
     */
    private void checkStatus(int status, Expect copy, Expect move, Expect delete, Expect folders) throws Exception {
        Simulator s = sim("--status", Integer.toString(status));
        long a = s.addr();
        String at = " for status " + status;
        progress.clear();
        check("copyFile" + at, copy, -status, () -> api.copyFile(a, "/a", "/b"));
        assertEquals("completion notice of copyFile" + at, copy.type == null ? List.of(100) : List.of(), progress.values());
        check("moveFile" + at, move, -status, () -> api.moveFile(a, "/a", "/b"));
        check("delete" + at, delete, -status, () -> api.delete(a, "/a"));
        check("mkDir" + at, folders, -status, () -> api.mkDir(a, "/a"));
        check("rmDir" + at, folders, -status, () -> api.rmDir(a, "/a"));
        assertEquals("notices after copyFile" + at, copy.type == null ? List.of(100) : List.of(), progress.values());
        assertEquals(5, s.requests().size());
    }

    @Test
    public void notConnectedCodes() throws Exception {
        for (int status : new int[] {201, 202, 211}) checkStatus(status, NOT_CONN, NOT_CONN, NOT_CONN, NOT_CONN);
    }

    @Test
    public void genericFailureCodes() throws Exception {
        for (int status : new int[] {1102, 1023, 254, 253, 221, 220, 212}) checkStatus(status, GEN, GEN, GEN, GEN);
    }

    @Test
    public void permissionDenied() throws Exception {
        checkStatus(1001, ex(DeviceFileXferException.class, PERMISSION_DENIED),
                ex(RenameFileException.class, RENAME_BAD_CHARS), DELETE, NONE);
    }

    @Test
    public void diskFull() throws Exception {
        checkStatus(1021, ex(DeviceFileXferException.class, DEVICE_DISK_FULL),
                ex(RenameFileException.class, RENAME_DISK_FULL), DELETE, NONE);
    }

    @Test
    public void badPath() throws Exception {
        checkStatus(1022, ex(DeviceFileXferException.class, COPY_BAD_PATH),
                ex(RenameFileException.class, RENAME_BAD_CHARS), NOT_FOUND, NOT_FOUND);
    }

    @Test
    public void pathTooLong() throws Exception {
        checkStatus(1036, ex(DeviceFileXferException.class, PATH_TOO_LONG),
                ex(RenameFileException.class, RENAME_PATH_TOO_LONG), DELETE, NONE);
    }

    @Test
    public void alreadyExists() throws Exception {
        checkStatus(1035, NONE, ex(RenameFileException.class, RENAME_EXISTS), DELETE, NONE);
    }

    @Test
    public void otherRefusals() throws Exception {
        for (int status : new int[] {2, 5, 1034, 1004, 1013})
            checkStatus(status, NONE, ex(RenameFileException.class, RENAME_FAILED), DELETE, NONE);
    }

    @Test
    public void operationsOnTheHandheldsStorage() throws Exception {
        Path storage = folder();
        Files.writeString(storage.resolve("a b.txt"), "content");
        Simulator s = simOn(storage);
        long a = s.addr();

        assertEquals(0, api.copyFile(a, "/a b.txt", "/c.txt"));
        assertEquals("content", Files.readString(storage.resolve("c.txt")));
        assertEquals(0, api.mkDir(a, "/new folder"));
        assertEquals(0, api.moveFile(a, "/c.txt", "/new folder/d.txt"));
        assertEquals("content", Files.readString(storage.resolve("new folder/d.txt")));
        assertEquals(-1034, api.rmDir(a, "/new folder"));                 // not empty: only returned
        raises(DeleteFileException.class, DELETE_FAILED, () -> api.delete(a, "/new folder"));  // a folder
        assertEquals(0, api.delete(a, "/new folder/d.txt"));
        assertEquals(0, api.rmDir(a, "/new folder"));
        assertFalse(Files.exists(storage.resolve("new folder")));
        assertEquals(List.of(100), progress.values());                   // from the copy alone

        raises(DeviceFileNotFoundException.class, FILE_NOT_FOUND, () -> api.delete(a, "/gone.txt"));
        raises(DeviceFileNotFoundException.class, FILE_NOT_FOUND, () -> api.rmDir(a, "/gone"));
        raises(DeviceFileNotFoundException.class, FILE_NOT_FOUND, () -> api.mkDir(a, "/gone/deeper"));
        assertEquals(-1035, api.mkDir(a, "/a b.txt"));                    // exists: only returned
        Files.writeString(storage.resolve("e.txt"), "e");
        raises(RenameFileException.class, RENAME_EXISTS, () -> api.moveFile(a, "/e.txt", "/a b.txt"));
        raises(RenameFileException.class, RENAME_BAD_CHARS, () -> api.moveFile(a, "/e.txt", "/e:f.txt"));
        raises(RenameFileException.class, RENAME_PATH_TOO_LONG, () -> api.moveFile(a, "/e.txt", "/" + "n".repeat(300)));
        raises(RenameFileException.class, RENAME_BAD_CHARS, () -> api.moveFile(a, "/", "/x"));  // 1001: the top folder
        assertEquals(0, api.mkDir(a, "/m"));
        raises(RenameFileException.class, RENAME_FAILED, () -> api.moveFile(a, "/m", "/m/inside"));  // 1034
        raises(DeviceFileXferException.class, COPY_BAD_PATH, () -> api.copyFile(a, "/gone.txt", "/f.txt"));
        raises(DeviceFileXferException.class, PATH_TOO_LONG, () -> api.copyFile(a, "/e.txt", "/" + "n".repeat(300)));
        progress.clear();
        assertEquals(-1035, api.copyFile(a, "/e.txt", "/a b.txt"));        // exists: returned, with the notice
        assertEquals(List.of(100), progress.values());
        assertEquals("content", Files.readString(storage.resolve("a b.txt")));
    }

    @Test
    public void aHandheldWithoutStorageRefusesEverything() throws Exception {
        Simulator s = sim();
        long a = s.addr();
        raises(DeviceFileXferException.class, PERMISSION_DENIED, () -> api.copyFile(a, "/a", "/b"));
        raises(RenameFileException.class, RENAME_BAD_CHARS, () -> api.moveFile(a, "/a", "/b"));
        raises(DeleteFileException.class, DELETE_FAILED, () -> api.delete(a, "/a"));
        assertEquals(-1001, api.mkDir(a, "/a"));
        assertEquals(-1001, api.rmDir(a, "/a"));
    }

    @Test
    public void successSendsTheCommandsAndOnlyCopyNotifies() throws Exception {
        Simulator s = sim("--status", "0");
        long a = s.addr();
        assertEquals(0, api.copyFile(a, "/docs/a b.txt", "/docs/c.txt"));
        assertEquals(List.of(100), progress.values());
        assertEquals(0, api.moveFile(a, "/docs/c.txt", "/docs/d.txt"));
        assertEquals(0, api.delete(a, "/docs/d.txt"));
        assertEquals(0, api.mkDir(a, "/new folder"));
        assertEquals(0, api.rmDir(a, "/new folder"));
        assertEquals(List.of(100), progress.values());
        assertEquals(List.of("copy /docs/a\\ b.txt /docs/c.txt\n", "move /docs/c.txt /docs/d.txt\n",
                "fdel /docs/d.txt\n", "mkdir /new\\ folder\n", "rmdir /new\\ folder\n"), s.requests());
    }

    @Test
    public void pathsTravelAsTheirUtf8Bytes() throws Exception {
        Simulator s = sim("--status", "0");
        assertEquals(0, api.mkDir(s.addr(), "/caf\u00e9/\u20ac"));
        // The log shows the bytes one character each: C3 A9 and E2 82 AC.
        assertEquals(List.of("mkdir /caf\u00c3\u00a9/\u00e2\u0082\u00ac\n"), s.requests());
    }

    @Test
    public void pathsTooLongForACommandAreRefusedBeforeSending() throws Exception {
        Simulator s = sim("--status", "0");
        long a = s.addr();
        String longPath = longPath();
        raises(DeviceFileXferException.class, COPY_BAD_PATH, () -> api.copyFile(a, longPath, "/b"));
        raises(RenameFileException.class, RENAME_BAD_CHARS, () -> api.moveFile(a, "/a", longPath));
        raises(DeviceFileNotFoundException.class, FILE_NOT_FOUND, () -> api.delete(a, longPath));
        raises(DeviceFileNotFoundException.class, FILE_NOT_FOUND, () -> api.mkDir(a, longPath));
        raises(DeviceFileNotFoundException.class, FILE_NOT_FOUND, () -> api.rmDir(a, longPath));
        assertEquals(List.of(), s.requests());
        assertEquals(List.of(), progress.values());
    }

    @Test
    public void unreachableHandheld() throws Exception {
        long a = nobody();
        raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.copyFile(a, "/a", "/b"));
        raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.moveFile(a, "/a", "/b"));
        raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.delete(a, "/a"));
        raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.mkDir(a, "/a"));
        raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.rmDir(a, "/a"));
    }

    @Test
    public void unreadableReplies() throws Exception {
        Simulator s = sim("--reply", "what?\n");
        long a = s.addr();
        assertEquals(-1002, api.copyFile(a, "/a", "/b"));
        assertEquals(List.of(100), progress.values());
        raises(RenameFileException.class, RENAME_FAILED, () -> api.moveFile(a, "/a", "/b"));
        raises(DeleteFileException.class, DELETE_FAILED, () -> api.delete(a, "/a"));
        assertEquals(-1002, api.mkDir(a, "/a"));
        assertEquals(-1002, api.rmDir(a, "/a"));
    }
}
