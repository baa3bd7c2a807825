package com.kq.vlx.qxconnect.bridgetests;

import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;
import java.util.stream.Stream;

/**
 * The handheld simulator as a child process on a loopback address of its own (tests run in
 * parallel and the link talks to a fixed port).  The simulator's request log is kept in a
 * private temporary folder; the simulator dies with the test's JVM.
 */
public final class Simulator implements AutoCloseable {
    private static final AtomicLong COUNTER = new AtomicLong();

    private final Process process;
    private final String addrText;
    private final long addr;
    private final Path dir;
    private final Path log;

    private Simulator(Process process, String addrText, Path dir, Path log) {
        this.process = process;
        this.addrText = addrText;
        this.addr = parse(addrText);
        this.dir = dir;
        this.log = log;
    }

    /** The simulator program, from the system property zr.sim. */
    public static String program() {
        String path = System.getProperty("zr.sim");
        if (path == null || path.isEmpty()) throw new IllegalStateException("system property zr.sim is not set");
        return path;
    }

    /** A 127.x.y.z address (host order) outside 127.0.0.0/16, from the pid, the time and a counter. */
    public static long freshLoopback() {
        long h = (ProcessHandle.current().pid() << 32) ^ System.nanoTime()
                ^ (COUNTER.getAndIncrement() * 0x9E3779B97F4A7C15L);
        h ^= h >>> 30;
        h *= 0xBF58476D1CE4E5B9L;
        h ^= h >>> 27;
        h *= 0x94D049BB133111EBL;
        h ^= h >>> 31;
        long b1 = 1 + Long.remainderUnsigned(h, 254);
        long b2 = Long.remainderUnsigned(h >>> 8, 256);
        long b3 = 1 + Long.remainderUnsigned(h >>> 16, 254);
        return (127L << 24) | (b1 << 16) | (b2 << 8) | b3;
    }

    public static String text(long addr) {
        return ((addr >> 24) & 0xFF) + "." + ((addr >> 16) & 0xFF) + "." + ((addr >> 8) & 0xFF) + "." + (addr & 0xFF);
    }

    static long parse(String dotted) {
        long a = 0;
        for (String part : dotted.split("\\.")) a = (a << 8) | Long.parseLong(part);
        return a;
    }

    /** Starts a simulator with the given switches on a fresh loopback address. */
    public static Simulator start(String... args) throws IOException {
        IOException last = null;
        for (int attempt = 0; attempt < 20; attempt++) {
            try {
                return startOn(text(freshLoopback()), args);
            } catch (AddressTaken e) {
                last = e;  // only a taken address is worth another try
            }
        }
        throw last;
    }

    /** Thrown when the address or port could not be taken (the simulator's exit code 3). */
    public static final class AddressTaken extends IOException {
        private static final long serialVersionUID = 1L;

        AddressTaken(String message) {
            super(message);
        }
    }

    /** Starts a simulator on the given address; waits at most 5 s for its ready line. */
    public static Simulator startOn(String addrText, String... args) throws IOException {
        Path dir = Files.createTempDirectory("qx-sim-");
        Path log = dir.resolve("requests.log");
        List<String> command = new ArrayList<>();
        if (new File("/usr/bin/setpriv").canExecute()) {
            command.addAll(List.of("/usr/bin/setpriv", "--pdeathsig", "KILL"));
        }
        command.add(program());
        command.addAll(Arrays.asList(args));
        command.addAll(List.of("--addr", addrText, "--log", log.toString()));
        ProcessBuilder pb = new ProcessBuilder(command);
        pb.redirectError(dir.resolve("stderr.txt").toFile());
        pb.redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")));
        Process p = pb.start();
        CompletableFuture<String> ready = CompletableFuture.supplyAsync(() -> {
            try {
                BufferedReader r = new BufferedReader(new InputStreamReader(p.getInputStream(), StandardCharsets.UTF_8));
                return r.readLine();
            } catch (IOException e) {
                return null;
            }
        });
        String line;
        try {
            line = ready.get(5, TimeUnit.SECONDS);
        } catch (Exception e) {
            line = null;
        }
        if (line != null && line.startsWith("ready " + addrText + " ")) {
            return new Simulator(p, addrText, dir, log);
        }
        p.destroyForcibly();
        int code;
        try {
            p.waitFor(2, TimeUnit.SECONDS);
            code = p.isAlive() ? -1 : p.exitValue();
        } catch (InterruptedException e) {
            code = -1;
        }
        String err = Files.readString(dir.resolve("stderr.txt"), StandardCharsets.ISO_8859_1);
        removeTree(dir);
        String message = "simulator on " + addrText + " not ready (exit " + code + ", line '" + line + "'): " + err;
        if (code == 3) throw new AddressTaken(message);
        throw new IOException(message);
    }

    public long addr() {
        return addr;
    }

    public String addrText() {
        return addrText;
    }

    /** The requests the simulator received, oldest first, escapes decoded (as ISO-8859-1 text). */
    public List<String> requests() throws IOException {
        List<String> out = new ArrayList<>();
        if (!Files.exists(log)) return out;
        for (String line : Files.readAllLines(log, StandardCharsets.ISO_8859_1)) {
            int space = line.indexOf(' ');
            out.add(space < 0 ? "" : decode(line.substring(space + 1)));
        }
        return out;
    }

    static String decode(String escaped) {
        StringBuilder b = new StringBuilder();
        for (int i = 0; i < escaped.length(); i++) {
            char c = escaped.charAt(i);
            if (c != '\\' || i + 1 >= escaped.length()) {
                b.append(c);
                continue;
            }
            char n = escaped.charAt(++i);
            switch (n) {
                case 'n': b.append('\n'); break;
                case 'r': b.append('\r'); break;
                case 't': b.append('\t'); break;
                case 'x':
                    b.append((char) Integer.parseInt(escaped.substring(i + 1, i + 3), 16));
                    i += 2;
                    break;
                default: b.append(n);
            }
        }
        return b.toString();
    }

    /** Stops the simulator (SIGTERM, then SIGKILL after 2 s) and removes its folder. */
    @Override
    public void close() {
        process.destroy();
        try {
            if (!process.waitFor(2, TimeUnit.SECONDS)) {
                process.destroyForcibly();
                process.waitFor(2, TimeUnit.SECONDS);
            }
        } catch (InterruptedException e) {
            process.destroyForcibly();
            Thread.currentThread().interrupt();
        }
        removeTree(dir);
    }

    static void removeTree(Path root) {
        if (root == null || !Files.exists(root)) return;
        try (Stream<Path> walk = Files.walk(root)) {
            walk.sorted(Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
        } catch (IOException e) {
            // a leftover temporary folder is not a test failure
        }
    }
}
