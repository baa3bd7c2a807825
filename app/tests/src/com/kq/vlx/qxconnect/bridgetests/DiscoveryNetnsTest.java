package com.kq.vlx.qxconnect.bridgetests;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;

import java.net.NetworkInterface;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

import org.junit.BeforeClass;
import org.junit.Test;

/**
 * deviceEnum over the machine's interfaces.  It runs only inside the private network
 * namespace that in-netns.sh makes for it, whose loopback interface carries the computer's
 * side of three handheld networks (172.16.0.1, .5 and .9, each /30) and the handhelds' own
 * addresses (.2, .6, .10), plus addresses that are no computer side (.14 and 172.17.0.1).
 */
public class DiscoveryNetnsTest extends BridgeTestBase {
    private static final long H1 = 0xAC100002L;   // 172.16.0.2
    private static final long H2 = 0xAC100006L;   // 172.16.0.6
    private static final long H3 = 0xAC10000AL;   // 172.16.0.10

    @BeforeClass
    public static void onlyInsideThePrivateNamespace() throws Exception {
        // Scanning walks every interface of the machine and probes what it finds: refuse to
        // run anywhere but in a namespace whose only interface is the loopback one.
        List<String> names = new ArrayList<>();
        for (NetworkInterface n : Collections.list(NetworkInterface.getNetworkInterfaces())) names.add(n.getName());
        assertEquals("interfaces (run this class through in-netns.sh)", List.of("lo"), names);
    }

    @Test
    public void handheldsThatAnswerInInterfaceOrderThenTheEnd() throws Exception {
        Simulator first = Simulator.startOn(Simulator.text(H1));
        Simulator silent = Simulator.startOn(Simulator.text(H2), "--probe-silent");
        Simulator third = Simulator.startOn(Simulator.text(H3), "--set", "name=THIRD");
        try {
            int h = api.deviceInit();
            assertEquals(1, h);
            try {
                Recording.Descriptor a = new Recording.Descriptor();
                assertEquals(0, api.deviceEnum(h, a));
                assertEquals(H1, a.getAddr());
                assertEquals(4, a.getGroup());
                assertEquals(null, a.getName());
                assertEquals(List.of("setAddr=" + H1, "setGroup=4", "setSlot=" + a.getSlot()), a.calls);

                Recording.Descriptor b = new Recording.Descriptor();
                assertEquals(0, api.deviceEnum(h, b));  // .6 does not answer and is skipped
                assertEquals(H3, b.getAddr());
                assertEquals(4, b.getGroup());
                assertTrue("slots follow the interface list: " + a.getSlot() + ", " + b.getSlot(),
                        a.getSlot() >= 0 && b.getSlot() > a.getSlot());

                Recording.Descriptor end = new Recording.Descriptor();
                assertEquals(-1, api.deviceEnum(h, end));
                assertEquals(List.of("setAddr=0", "setGroup=0", "setSlot=0"), end.calls);
                assertEquals(-1, api.deviceEnum(h, new Recording.Descriptor()));
            } finally {
                assertEquals(0, api.deviceDone(h));
            }
            assertEquals(List.of("zr-api4-q"), first.requests());
            assertTrue(silent.requests().size() >= 1);
        } finally {
            first.close();
            silent.close();
            third.close();
        }
    }

    @Test
    public void aFreshDiscoveryFindsThemAgain() throws Exception {
        Simulator first = Simulator.startOn(Simulator.text(H1));
        try {
            for (int round = 0; round < 2; round++) {
                int h = api.deviceInit();
                try {
                    Recording.Descriptor d = new Recording.Descriptor();
                    assertEquals(0, api.deviceEnum(h, d));
                    assertEquals(H1, d.getAddr());
                } finally {
                    assertEquals(0, api.deviceDone(h));
                }
            }
            assertEquals(0, api.isDeviceStillResponsive(H1));
        } finally {
            first.close();
        }
    }
}
