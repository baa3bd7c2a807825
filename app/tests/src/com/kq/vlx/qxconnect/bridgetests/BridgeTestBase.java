package com.kq.vlx.qxconnect.bridgetests;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertThrows;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

import org.junit.After;
import org.junit.Before;
import org.junit.BeforeClass;
import org.junit.function.ThrowingRunnable;

import com.kq.vlx.qxconnect.connectivity.ConnectivityAPI;

/**
 * What the bridge tests share: one ConnectivityAPI over the real libQXConJNI (started once
 * per JVM, as the application does), simulators that are stopped after each test, the
 * progress the application receives, and the check that a native raised a given exception
 * with a given message key.
 */
public abstract class BridgeTestBase {
    protected static final ConnectivityAPI api = new ConnectivityAPI();
    protected final Progress progress = new Progress();
    private final List<Simulator> simulators = new ArrayList<>();
    private final List<Path> folders = new ArrayList<>();

    @BeforeClass
    public static void startLink() {
        assertEquals("initAPI", 0, api.initAPI());
    }

    @Before
    public void listenToProgress() {
        api.setProgressListener(progress);
    }

    @After
    public void stopSimulators() {
        api.setProgressListener(null);
        for (Simulator s : simulators) s.close();
        simulators.clear();
        for (Path p : folders) Simulator.removeTree(p);
        folders.clear();
    }

    /** A temporary folder, removed after the test. */
    protected Path folder() throws IOException {
        Path p = Files.createTempDirectory("qx-test-");
        folders.add(p);
        return p;
    }

    /** A simulator whose storage is the given folder, with room for large files. */
    protected Simulator simOn(Path storage, String... args) throws IOException {
        List<String> all = new ArrayList<>(List.of("--storage", storage.toString(),
                "--set", "disk=4294967295,4294967295,0"));
        all.addAll(List.of(args));
        return sim(all.toArray(new String[0]));
    }

    /** A simulator with the given switches, stopped after the test. */
    protected Simulator sim(String... args) throws IOException {
        Simulator s = Simulator.start(args);
        simulators.add(s);
        return s;
    }

    /** A loopback address where nothing listens. */
    protected static long nobody() {
        return Simulator.freshLoopback();
    }

    /** Runs the call, which must raise {@code type} with the message key {@code key}. */
    protected static <T extends Throwable> T raises(Class<T> type, String key, ThrowingRunnable call) {
        T e = assertThrows(type, call);
        assertEquals("message key of " + type.getSimpleName(), key, e.getMessage());
        return e;
    }

    /** A call that returns a result code. */
    @FunctionalInterface
    protected interface Native {
        int call() throws Exception;
    }

    /** Runs the call, which must return {@code expected} without raising anything. */
    protected static void returns(int expected, Native call) throws Exception {
        assertEquals(expected, call.call());
    }
}
