package com.kq.vlx.qxconnect.bridgetests;

import static org.junit.Assert.assertArrayEquals;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;

import org.junit.Test;

import com.kq.vlx.qxconnect.app.DeviceNotConnectedException;
import com.kq.vlx.qxconnect.app.GenericCommException;

/**
 * The status natives against the simulator: getDeviceInfo and its conversions,
 * getDeviceHardwareVersion, getDeviceDisplaySize and getDeviceDisplayDataArray, with their
 * shared table of result codes.
 */
public class DeviceStatusTest extends BridgeTestBase {
    private static final String NOT_CONNECTED = "Error.DeviceNotConnected";
    private static final String GENERIC = "Error.GenericCommFailure";

    // ---- information record ------------------------------------------------------------------

    @Test
    public void infoReachesEverySetterInOrderWithKilobytesAndSignedReadiness() throws Exception {
        Simulator s = sim("--set", "disk=1048576,5000,1023", "--set", "ready=65535,0", "--set", "bat=42",
                "--set", "sgeo=120,160,8,0", "--set", "scrn=19200", "--set", "eid=SER-77");
        Recording.Info info = new Recording.Info();
        assertEquals(0, api.getDeviceInfo(s.addr(), info));
        assertEquals(List.of("setBatteryLevel=42", "setInstallOSInfo=-1", "setTotalMemoryKB=1024",
                "setAvailableMemoryKB=4", "setOSInstallationSpaceDeficitKB=0", "setImageHeight=120",
                "setImageWidth=160", "setImageBitsPerPixel=8", "setDisplaySize=19200", "setSerialNumber=SER-77"),
                info.calls);
        assertEquals(List.of("info 1\n"), s.requests());
    }

    @Test
    public void infoFiguresAreUnsigned() throws Exception {
        Simulator s = sim("--set", "disk=4294967295,2147483648,1024", "--set", "scrn=4294967295",
                "--set", "bat=65535", "--set", "sgeo=65535,1,8,0");
        Recording.Info info = new Recording.Info();
        assertEquals(0, api.getDeviceInfo(s.addr(), info));
        assertEquals(4194303L, info.getTotalMemoryKB());
        assertEquals(2097152L, info.getAvailableMemoryKB());
        assertEquals(1L, info.getOSInstallationSpaceDeficitKB());
        assertEquals(4294967295L, info.getDisplaySize());
        assertEquals(65535, info.getBatteryLevel());
        assertEquals(65535, info.getImageHeight());
        assertEquals(1, info.getImageWidth());
    }

    @Test
    public void serialNumberTakesAllTwentyFourCharactersOfAFullField() throws Exception {
        Simulator s = sim("--set", "eid=ABCDEFGHIJKLMNOPQRSTUVWX");
        Recording.Info info = new Recording.Info();
        assertEquals(0, api.getDeviceInfo(s.addr(), info));
        assertEquals("ABCDEFGHIJKLMNOPQRSTUVWX", info.getSerialNumber());
    }

    @Test
    public void serialNumberBytesThatAreNotUtf8StillMakeAString() throws Exception {
        // UTF-8 "Café-" followed by a lone Latin-1 byte and a truncated sequence.
        Path profile = Files.createTempFile("qx-profile", ".txt");
        try {
            byte[] eid = {'C', 'a', 'f', (byte) 0xC3, (byte) 0xA9, '-', (byte) 0xE9, 'x', (byte) 0xE2, (byte) 0x82};
            byte[] line = new byte[4 + eid.length + 1];
            System.arraycopy("eid=".getBytes(StandardCharsets.US_ASCII), 0, line, 0, 4);
            System.arraycopy(eid, 0, line, 4, eid.length);
            line[line.length - 1] = '\n';
            Files.write(profile, line);
            Simulator s = sim("--profile", profile.toString());
            Recording.Info info = new Recording.Info();
            assertEquals(0, api.getDeviceInfo(s.addr(), info));
            assertEquals("Caf\u00e9-\u00e9x\u00e2\u0082", info.getSerialNumber());
        } finally {
            Files.deleteIfExists(profile);
        }
    }

    @Test
    public void failedInfoCallsNoSetter() throws Exception {
        Simulator s = sim("--status", "202");
        Recording.Info info = new Recording.Info();
        raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.getDeviceInfo(s.addr(), info));
        assertEquals(List.of(), info.calls);
    }

    // ---- hardware version and display size ---------------------------------------------------

    @Test
    public void hardwareVersionFillsFourBytesAndOnlyWhatTheArrayHolds() throws Exception {
        Simulator s = sim("--set", "hwv=9,8,7,200");
        byte[] four = new byte[4];
        assertEquals(0, api.getDeviceHardwareVersion(s.addr(), four));
        assertArrayEquals(new byte[] {9, 8, 7, (byte) 200}, four);

        byte[] six = {55, 55, 55, 55, 55, 55};
        assertEquals(0, api.getDeviceHardwareVersion(s.addr(), six));
        assertArrayEquals(new byte[] {9, 8, 7, (byte) 200, 55, 55}, six);

        byte[] two = new byte[2];
        assertEquals(0, api.getDeviceHardwareVersion(s.addr(), two));
        assertArrayEquals(new byte[] {9, 8}, two);

        assertEquals(0, api.getDeviceHardwareVersion(s.addr(), new byte[0]));
    }

    @Test
    public void failedHardwareVersionWritesZeros() throws Exception {
        Simulator s = sim("--status", "220");
        byte[] version = {1, 2, 3, 4, 5};
        raises(GenericCommException.class, GENERIC, () -> api.getDeviceHardwareVersion(s.addr(), version));
        assertArrayEquals(new byte[] {0, 0, 0, 0, 5}, version);
    }

    @Test
    public void displaySizeIsSignExtendedIntoElementZeroOnly() throws Exception {
        Simulator s = sim("--set", "scrn=4294967295");
        long[] size = {7, 7};
        assertEquals(0, api.getDeviceDisplaySize(s.addr(), size));
        assertArrayEquals(new long[] {-1, 7}, size);
        assertEquals(0, api.getDeviceDisplaySize(s.addr(), new long[0]));

        Simulator plain = sim("--set", "sgeo=240,320,16,0");
        long[] one = new long[1];
        assertEquals(0, api.getDeviceDisplaySize(plain.addr(), one));
        assertEquals(153600L, one[0]);
    }

    @Test
    public void failedDisplaySizeWritesZero() throws Exception {
        long[] size = {99};
        raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.getDeviceDisplaySize(nobody(), size));
        assertEquals(0L, size[0]);
    }

    // ---- screen data -------------------------------------------------------------------------

    /** Byte i of the simulator's image for a depth without pixel meaning (12 bits here). */
    private static byte imageByte(int i) {
        return (byte) ((i ^ (i >> 8)) & 0xFF);
    }

    private static byte[] image(int from, int count) {
        byte[] b = new byte[count];
        for (int i = 0; i < count; i++) b[i] = imageByte(from + i);
        return b;
    }

    private static final String[] GEOMETRY = {"--set", "sgeo=40,30,12,0"};  // 1800 bytes

    @Test
    public void wholeImageIntoAnArrayOfItsSize() throws Exception {
        Simulator s = sim(GEOMETRY);
        byte[] data = new byte[1800];
        assertEquals(1800, api.getDeviceDisplayDataArray(s.addr(), data, 0, 0));
        assertArrayEquals(image(0, 1800), data);
        assertEquals(List.of("scrn 1 0 1800\n"), s.requests());
    }

    @Test
    public void pieceFromAnOffsetWithTheOffsetsLow32Bits() throws Exception {
        Simulator s = sim(GEOMETRY);
        byte[] data = new byte[300];
        assertEquals(100, api.getDeviceDisplayDataArray(s.addr(), data, (5L << 32) | 500, 100));
        assertArrayEquals(image(500, 100), Arrays.copyOf(data, 100));
        assertArrayEquals(new byte[200], Arrays.copyOfRange(data, 100, 300));
        assertEquals(List.of("scrn 1 500 100\n"), s.requests());
    }

    @Test
    public void neverAsksForMoreThanTheArrayHolds() throws Exception {
        Simulator s = sim(GEOMETRY);
        byte[] small = new byte[700];
        assertEquals(700, api.getDeviceDisplayDataArray(s.addr(), small, 0, 0));
        assertArrayEquals(image(0, 700), small);
        assertEquals(700, api.getDeviceDisplayDataArray(s.addr(), small, 1000, 5000));
        assertArrayEquals(image(1000, 700), small);
        assertEquals(List.of("scrn 1 0 700\n", "scrn 1 1000 700\n"), s.requests());
    }

    @Test
    public void aHandheldAnnouncingMoreThanAskedFillsOnlyTheArray() throws Exception {
        String payload = "A".repeat(64);
        Simulator s = sim("--fault-cmd", "scrn", "--reply", "0 64\n" + payload);
        byte[] data = new byte[16];
        assertEquals(16, api.getDeviceDisplayDataArray(s.addr(), data, 0, 0));
        byte[] expected = new byte[16];
        Arrays.fill(expected, (byte) 'A');
        assertArrayEquals(expected, data);
    }

    @Test
    public void anEmptyArrayTakesNothingAndSendsNoRequest() throws Exception {
        Simulator s = sim(GEOMETRY);
        assertEquals(0, api.getDeviceDisplayDataArray(s.addr(), new byte[0], 0, 0));
        assertEquals(0, api.getDeviceDisplayDataArray(s.addr(), new byte[0], 0, 10));
        assertEquals(List.of(), s.requests());
    }

    @Test
    public void aNegativeMaximumGoesToTheHandheldAndDeliversNothing() throws Exception {
        Simulator s = sim(GEOMETRY);
        byte[] data = {3, 3};
        assertEquals(-3, api.getDeviceDisplayDataArray(s.addr(), data, 0, -1));  // the simulator refuses it
        assertArrayEquals(new byte[] {3, 3}, data);
    }

    // ---- result codes ------------------------------------------------------------------------

    /** Every status native against a handheld whose every reply is the given status. */
    private void checkStatusNatives(int status, Class<? extends Throwable> type, String key) throws Exception {
        Simulator s = sim("--status", Integer.toString(status));
        long a = s.addr();
        Native[] natives = {
            () -> api.getDeviceInfo(a, new Recording.Info()),
            () -> api.getDeviceHardwareVersion(a, new byte[4]),
            () -> api.getDeviceDisplaySize(a, new long[1]),
            () -> api.getDeviceDisplayDataArray(a, new byte[16], 0, 0),
        };
        for (Native n : natives) {
            if (type == null) {
                returns(-status, n);
            } else {
                raises(type, key, n::call);
            }
        }
    }

    @Test
    public void notConnectedCodes() throws Exception {
        for (int status : new int[] {201, 202, 211}) checkStatusNatives(status, DeviceNotConnectedException.class, NOT_CONNECTED);
    }

    @Test
    public void genericFailureCodes() throws Exception {
        for (int status : new int[] {1102, 1023, 254, 253, 221, 220, 212})
            checkStatusNatives(status, GenericCommException.class, GENERIC);
    }

    @Test
    public void otherCodesAreOnlyReturned() throws Exception {
        for (int status : new int[] {1, 5, 223, 1002, 1022}) checkStatusNatives(status, null, null);
    }

    @Test
    public void unreadableReplyIsOnlyReturned() throws Exception {
        Simulator s = sim("--reply", "hello\n");
        assertEquals(-1002, api.getDeviceInfo(s.addr(), new Recording.Info()));
        assertEquals(-1002, api.getDeviceDisplayDataArray(s.addr(), new byte[4], 0, 0));
    }

    @Test
    public void unreachableHandheld() throws Exception {
        long a = nobody();
        Recording.Info info = new Recording.Info();
        raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.getDeviceInfo(a, info));
        assertTrue(info.calls.isEmpty());
        raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.getDeviceDisplayDataArray(a, new byte[4], 0, 0));
    }
}
