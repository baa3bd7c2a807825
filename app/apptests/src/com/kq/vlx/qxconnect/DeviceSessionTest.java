package com.kq.vlx.qxconnect;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;

import java.util.Arrays;
import java.util.Collections;

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
