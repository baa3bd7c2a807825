package com.kq.vlx.qxconnect.bridgetests;

import static org.junit.Assert.assertEquals;

import java.util.List;

import org.junit.Test;

/**
 * Discovery natives that stay on the loopback interface: the liveness probe and the handle
 * rules of deviceInit, deviceEnum and deviceDone.  (A scan of the machine's interfaces runs
 * only in DiscoveryNetnsTest, inside a network namespace of its own.)
 */
public class DiscoveryTest extends BridgeTestBase {
    @Test
    public void aHandheldThatAnswersTheProbeIsResponsive() throws Exception {
        Simulator s = sim();
        assertEquals(0, api.isDeviceStillResponsive(s.addr()));
        assertEquals(List.of("zr-api4-q"), s.requests());
    }

    @Test
    public void onlyTheLow32BitsOfTheAddressAreProbed() throws Exception {
        Simulator s = sim();
        assertEquals(0, api.isDeviceStillResponsive(0x7FFFFFFF00000000L | s.addr()));
        assertEquals(0, api.isDeviceStillResponsive(0xFFFFFFFF00000000L | s.addr()));
    }

    @Test
    public void silentForeignAndLateAnswers() throws Exception {
        Simulator silent = sim("--probe-silent");
        assertEquals(-1, api.isDeviceStillResponsive(silent.addr()));
        Simulator foreign = sim("--probe-reply", "xyz!");
        assertEquals(-2, api.isDeviceStillResponsive(foreign.addr()));
        Simulator late = sim("--probe-from", "3");
        assertEquals(0, api.isDeviceStillResponsive(late.addr()));
        assertEquals(-1, api.isDeviceStillResponsive(nobody()));
    }

    @Test
    public void oneDiscoveryAtATimeAndItsHandleRules() throws Exception {
        int h = api.deviceInit();
        try {
            assertEquals(1, h);
            assertEquals(-221, api.deviceInit());
            assertEquals(-223, api.deviceDone(h + 1));
        } finally {
            assertEquals(0, api.deviceDone(h));
        }
        assertEquals(-223, api.deviceDone(h));
    }

    @Test
    public void aRejectedHandleHandsOverAClearedRecord() throws Exception {
        api.deviceDone(1);  // no discovery open: handle 1 must not start a scan of the machine
        for (int handle : new int[] {1, 0, 7, -1}) {
            Recording.Descriptor d = new Recording.Descriptor();
            d.setName("stale");
            d.calls.clear();
            assertEquals(-223, api.deviceEnum(handle, d));
            assertEquals(List.of("setAddr=0", "setGroup=0", "setSlot=0"), d.calls);
            assertEquals("stale", d.getName());
        }
    }
}
