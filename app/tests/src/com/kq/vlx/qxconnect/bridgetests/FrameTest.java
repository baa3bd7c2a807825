package com.kq.vlx.qxconnect.bridgetests;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertThrows;

import java.util.List;

import org.junit.Test;
import org.junit.function.ThrowingRunnable;

import com.kq.vlx.qxconnect.connectivity.ConnectivityAPI;

/**
 * What every native shares: initAPI, and arguments that the application must never pass as
 * null, which raise NullPointerException instead of reaching the link (or crashing the JVM).
 */
public class FrameTest extends BridgeTestBase {
    @Test
    public void initApiMayBeCalledAgain() {
        assertEquals(0, api.initAPI());
        assertEquals(0, new ConnectivityAPI().initAPI());
    }

    private static void npe(String what, ThrowingRunnable call) {
        NullPointerException e = assertThrows(NullPointerException.class, call);
        assertEquals(what + " is null", e.getMessage());
    }

    @Test
    public void nullArgumentsRaiseNullPointerExceptionAndSendNothing() throws Exception {
        Simulator s = sim();
        long a = s.addr();
        npe("information holder", () -> api.getDeviceInfo(a, null));
        npe("hardware version array", () -> api.getDeviceHardwareVersion(a, null));
        npe("display size array", () -> api.getDeviceDisplaySize(a, null));
        npe("display data array", () -> api.getDeviceDisplayDataArray(a, null, 0, 0));
        npe("device descriptor", () -> api.deviceEnum(1, null));
        npe("attribute holder", () -> api.direnum(1, null));
        npe("attribute holder", () -> api.fileAttrs(a, "/", null));
        npe("path", () -> api.fileAttrs(a, null, new Recording.Attributes()));
        npe("path", () -> api.dirinit(a, null));
        npe("path", () -> api.delete(a, null));
        npe("path", () -> api.mkDir(a, null));
        npe("path", () -> api.rmDir(a, null));
        npe("source", () -> api.copyFile(a, null, "/b"));
        npe("destination", () -> api.moveFile(a, "/a", null));
        npe("host file", () -> api.sendFile(a, null, "/x"));
        npe("device path", () -> api.sendFile(a, "/tmp/x", null));
        npe("host file", () -> api.getFile(a, "/x", null));
        npe("image name", () -> api.installOS(a, "", null));
        assertEquals(List.of(), s.requests());
        assertEquals(List.of(), progress.values());
    }

    @Test
    public void theUnusedFirstNameOfAnInstallationMayBeNull() throws Exception {
        Simulator s = sim("--osupg", "100");
        assertEquals(0, api.installOS(s.addr(), null, "os.bin"));
        assertEquals(List.of(99, 100), progress.values());
    }
}
