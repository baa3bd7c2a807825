package com.kq.vlx.qxconnect.bridgetests;

import static com.kq.vlx.qxconnect.bridgetests.Keys.*;
import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertThrows;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;

import org.junit.Test;

import com.kq.vlx.qxconnect.app.DeviceInstallOSException;
import com.kq.vlx.qxconnect.app.DeviceNotConnectedException;
import com.kq.vlx.qxconnect.app.GenericCommException;

/**
 * installOS: the request, the progress that reaches the application (capped at 99, then 100
 * from the completion notice), the handheld's error words and the library's own codes.
 */
public class InstallOSTest extends BridgeTestBase {
    /** A handheld whose answer to the installation request is the given progress lines. */
    private Simulator handheld(String lines) throws Exception {
        return sim("--fault-cmd", "osupg", "--reply", lines);
    }

    @Test
    public void theHandheldsOwnInstallationProgress() throws Exception {
        Path storage = folder();
        Files.write(storage.resolve("os image.bin"), new byte[64]);
        Simulator s = simOn(storage, "--osupg-first", "2");  // then its default steps 10, 50, 90, 100
        assertEquals(0, api.installOS(s.addr(), "unused", "os image.bin"));
        assertEquals(List.of(2, 10, 50, 90, 99, 100), progress.values());
        assertEquals(List.of("osupg os\\ image.bin -\n"), s.requests());

        progress.clear();
        // An image the handheld cannot find: its status 1022 arrives as the library's own
        // "too long" code, and both read as a bad file.
        raises(DeviceInstallOSException.class, OS_BAD_FILE, () -> api.installOS(s.addr(), "", "missing.bin"));
        assertEquals(List.of(), progress.values());
    }

    @Test
    public void scriptedFailuresOfTheHandheld() throws Exception {
        Simulator battery = sim("--osupg", "10,30,-32760");
        raises(DeviceInstallOSException.class, OS_BATTERY_LOW, () -> api.installOS(battery.addr(), "", "os.bin"));
        assertEquals(List.of(10, 30, -32760), progress.values());
        progress.clear();
        Simulator refused = sim("--osupg", "10,1:20");  // status 1 on a progress line: word 0xFFFF
        raises(DeviceInstallOSException.class, OS_BATTERY_LOW, () -> api.installOS(refused.addr(), "", "os.bin"));
        assertEquals(List.of(10, 20), progress.values());
    }

    @Test
    public void progressIsCappedAt99AndEndsWithTheCompletionNotice() throws Exception {
        Simulator s = handheld("0 5\n0 40\n0 99\n0 100\n0 250\n");
        assertEquals(0, api.installOS(s.addr(), "ignored", "os image.bin"));
        assertEquals(List.of(5, 40, 99, 99, 99, 100), progress.values());
        assertEquals(List.of("osupg os\\ image.bin -\n"), s.requests());
    }

    @Test
    public void aFirstLineWithoutProgressReportsNothingBeforeTheLines() throws Exception {
        Simulator s = handheld("0\n0 60\n");
        assertEquals(0, api.installOS(s.addr(), "", "os.bin"));
        assertEquals(List.of(60, 100), progress.values());
    }

    /** The installation ends with the error word {@code value}: its exception and key. */
    private void checkWord(int value, String key) throws Exception {
        Simulator s = handheld("0 10\n0 " + value + "\n");
        progress.clear();
        raises(DeviceInstallOSException.class, key, () -> api.installOS(s.addr(), "", "os.bin"));
        assertEquals("progress for " + value, List.of(10, value), progress.values());
    }

    @Test
    public void errorWordsSelectTheirReason() throws Exception {
        checkWord(-32760, OS_BATTERY_LOW);  // 0x8008
        checkWord(-32766, OS_DISK_FULL);    // 0x8002
        checkWord(-32767, OS_BUSY);         // 0x8001
        checkWord(-32736, OS_BAD_FILE);     // 0x8020
        checkWord(-32764, OS_BAD_FILE);     // 0x8004
        checkWord(-32752, OS_BAD_FILE);     // 0x8010
        checkWord(-32640, OS_BAD_FILE);     // 0x8080
        checkWord(-32768, OS_BUSY);         // 0x8000: no reason bit
        checkWord(-32758, OS_BATTERY_LOW);  // 0x800A: battery before disk
        checkWord(-32765, OS_DISK_FULL);    // 0x8003: disk before busy
        checkWord(-32735, OS_BUSY);         // 0x8021: busy before bad file
    }

    @Test
    public void aNegativeResultWithoutTheFailureBitIsCompleted() throws Exception {
        Simulator s = handheld("0 10\n0 -65536\n");  // low 16 bits 0
        assertEquals(-65536, api.installOS(s.addr(), "", "os.bin"));
        assertEquals(List.of(10, -65536, 100), progress.values());
    }

    @Test
    public void aRefusalStatusOnAProgressLineIsReadAsAnErrorWord() throws Exception {
        Simulator s = handheld("0 10\n3 40\n");  // -3 is 0xFFFD: bit 3 set
        raises(DeviceInstallOSException.class, OS_BATTERY_LOW, () -> api.installOS(s.addr(), "", "os.bin"));
        assertEquals(List.of(10, 40), progress.values());
    }

    @Test
    public void stoppedByTheApplicationIsNotAnInstallationError() throws Exception {
        Simulator s = handheld("0 10\n0 20\n0 30\n");
        progress.stopAfter(2);
        assertEquals(-1013, api.installOS(s.addr(), "", "os.bin"));
        assertEquals(List.of(10, 20, 100), progress.values());
    }

    @Test
    public void aListenerThatThrowsStopsTheInstallationAndItsExceptionReachesTheCaller() throws Exception {
        Simulator s = handheld("0 10\n0 20\n0 30\n");
        progress.throwAfter(2);
        IllegalStateException e = assertThrows(IllegalStateException.class,
                () -> api.installOS(s.addr(), "", "os.bin"));
        assertEquals("listener failed at 20", e.getMessage());
        assertEquals(List.of(10, 20), progress.values());
    }

    @Test
    public void anImageNameTooLongForTheCommandIsABadFile() throws Exception {
        Simulator s = handheld("0 10\n");
        raises(DeviceInstallOSException.class, OS_BAD_FILE, () -> api.installOS(s.addr(), "", longPath()));
        assertEquals(List.of(), s.requests());
        assertEquals(List.of(), progress.values());
    }

    @Test
    public void anUnreadableReplyIsACommunicationFailure() throws Exception {
        Simulator s = handheld("busy\n");
        raises(GenericCommException.class, GENERIC, () -> api.installOS(s.addr(), "", "os.bin"));
        assertEquals(List.of(), progress.values());
    }

    @Test
    public void sharedCodes() throws Exception {
        for (int status : new int[] {201, 202, 211}) {
            Simulator s = sim("--status", Integer.toString(status));
            raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.installOS(s.addr(), "", "os.bin"));
        }
        for (int status : new int[] {1102, 1023, 254, 253, 221, 220, 212}) {
            Simulator s = sim("--status", Integer.toString(status));
            raises(GenericCommException.class, GENERIC, () -> api.installOS(s.addr(), "", "os.bin"));
        }
        raises(DeviceNotConnectedException.class, NOT_CONNECTED, () -> api.installOS(nobody(), "", "os.bin"));
        assertEquals(List.of(), progress.values());
    }
}
