package com.kq.vlx.qxconnect;

import java.awt.image.BufferedImage;
import java.io.IOException;
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.net.SocketTimeoutException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.function.IntConsumer;

import com.kq.vlx.qxconnect.connectivity.ConnectivityAPI;
import com.kq.vlx.qxconnect.connectivity.DeviceDescriptor;
import com.kq.vlx.qxconnect.connectivity.DeviceInfo;
import com.kq.vlx.qxconnect.connectivity.FileAttributes;

/**
 * The application's side of the link: every call into {@link ConnectivityAPI} runs on one worker
 * thread (the natives are called one at a time), and each operation hands back a future that the
 * window completes on.
 *
 * <p>Handhelds come from discovery and, for tests and the demo, from addresses given in the system
 * property {@code qxconnect.handheld} or the environment variable {@code QXCONNECT_HANDHELD}
 * (dotted IPv4 addresses separated by commas), which are listed first.
 */
public class DeviceSession {
    /** One entry of a folder listing. */
    public static final class Entry {
        public final String name;
        public final FileAttributes attributes;

        Entry(String name, FileAttributes attributes) {
            this.name = name;
            this.attributes = attributes;
        }
    }

    /** A failure of the link: the result code, or the message key of the exception raised. */
    public static final class LinkException extends Exception {
        private static final long serialVersionUID = 1L;
        private final String key;

        public LinkException(String key, Throwable cause) {
            super(Messages.text(key), cause);
            this.key = key;
        }

        public String key() {
            return key;
        }
    }

    private final ExecutorService worker = Executors.newSingleThreadExecutor(r -> {
        Thread t = new Thread(r, "device-worker");
        t.setDaemon(true);
        return t;
    });
    private ConnectivityAPI api;
    private final AtomicBoolean cancel = new AtomicBoolean();
    private volatile IntConsumer progress;

    /** An operation on the link, run on the worker thread. */
    @FunctionalInterface
    public interface Call<T> {
        T run(ConnectivityAPI api) throws Exception;
    }

    private <T> CompletableFuture<T> submit(Call<T> call) {
        CompletableFuture<T> result = new CompletableFuture<>();
        worker.execute(() -> {
            try {
                result.complete(call.run(api()));
            } catch (Throwable e) {
                result.completeExceptionally(wrap(e));
            }
        });
        return result;
    }

    private ConnectivityAPI api() throws LinkException {
        if (api == null) {
            try {
                ConnectivityAPI made = new ConnectivityAPI();
                int rc = made.initAPI();
                if (rc < 0) {
                    throw new LinkException("Error.Init " + rc, null);
                }
                made.setProgressListener(percent -> {
                    IntConsumer p = progress;
                    if (p != null) {
                        p.accept(percent);
                    }
                    return cancel.get() ? 1 : 0;
                });
                api = made;
            } catch (UnsatisfiedLinkError e) {
                throw new LinkException("Error.NoNativeLibrary", e);
            }
        }
        return api;
    }

    private static Throwable wrap(Throwable e) {
        if (e instanceof LinkException) {
            return e;
        }
        String name = e.getClass().getName();
        if (name.startsWith("com.kq.vlx.qxconnect.app.")) {
            return new LinkException(e.getMessage(), e);  // the message is the key
        }
        return new LinkException("Error.Unexpected " + e, e);
    }

    private static int check(int rc) throws LinkException {
        if (rc < 0) {
            throw new LinkException("Error.Result " + rc, null);
        }
        return rc;
    }

    /** Addresses given by configuration, in host order. */
    public static List<Long> configuredAddresses() {
        String text = System.getProperty("qxconnect.handheld");
        if (text == null || text.isEmpty()) {
            text = System.getenv("QXCONNECT_HANDHELD");
        }
        List<Long> out = new ArrayList<>();
        if (text == null) {
            return out;
        }
        for (String part : text.split(",")) {
            long addr = parseAddress(part.trim());
            if (addr >= 0) {
                out.add(addr);
            }
        }
        return out;
    }

    /** A dotted IPv4 address in host order, or -1. */
    public static long parseAddress(String text) {
        String[] parts = text.split("\\.", -1);
        if (parts.length != 4) {
            return -1;
        }
        long addr = 0;
        for (String p : parts) {
            if (p.isEmpty() || p.length() > 3 || !p.chars().allMatch(Character::isDigit)) {
                return -1;
            }
            int v = Integer.parseInt(p);
            if (v > 255) {
                return -1;
            }
            addr = (addr << 8) | v;
        }
        return addr;
    }

    /** The handheld's liveness probe: this datagram to UDP port 10003, answered by "orv <name>". */
    static final byte[] PROBE = "zr-api4-q".getBytes(StandardCharsets.US_ASCII);
    static final int PROBE_PORT = 10003;
    private static final int PROBE_TRIES = 2;
    private static final int PROBE_WAIT_MS = 250;

    /**
     * The name a handheld gives in its answer to the liveness probe, or null when it does not
     * answer (within about half a second) or gives none. The link's natives hand over no name:
     * discovery leaves it out and the information record has no member for it.
     */
    public static String handheldName(long addr) {
        byte[] ip = {(byte) (addr >>> 24), (byte) (addr >>> 16), (byte) (addr >>> 8), (byte) addr};
        try (DatagramSocket socket = new DatagramSocket()) {
            InetAddress to = InetAddress.getByAddress(ip);
            socket.setSoTimeout(PROBE_WAIT_MS);
            byte[] buf = new byte[256];
            for (int i = 0; i < PROBE_TRIES; i++) {
                socket.send(new DatagramPacket(PROBE, PROBE.length, to, PROBE_PORT));
                DatagramPacket answer = new DatagramPacket(buf, buf.length);
                try {
                    socket.receive(answer);
                } catch (SocketTimeoutException e) {
                    continue;
                }
                if (to.equals(answer.getAddress())) {
                    return nameFromProbeAnswer(buf, answer.getLength());
                }
            }
        } catch (IOException e) {
            return null;
        }
        return null;
    }

    /** The name in a probe answer "orv <name>" (what follows "orv", blanks and NULs trimmed), or null. */
    static String nameFromProbeAnswer(byte[] data, int length) {
        if (length < 4 || data[0] != 'o' || data[1] != 'r' || data[2] != 'v') {
            return null;
        }
        String name = new String(data, 3, length - 3, StandardCharsets.UTF_8).replace('\0', ' ').trim();
        return name.isEmpty() ? null : name;
    }

    /** The attached handhelds: configured ones first, then those that discovery finds. */
    public CompletableFuture<List<DeviceDescriptor>> listDevices() {
        return submit(a -> {
            List<DeviceDescriptor> out = new ArrayList<>();
            for (long addr : configuredAddresses()) {
                DeviceDescriptor d = new DeviceDescriptor();
                d.setAddr(addr);
                d.setName(handheldName(addr));
                out.add(d);
            }
            int handle = a.deviceInit();
            if (handle >= 0) {
                try {
                    for (int i = 0; i < 64; i++) {
                        DeviceDescriptor d = new DeviceDescriptor();
                        if (a.deviceEnum(handle, d) < 0) {
                            break;
                        }
                        if (out.stream().noneMatch(o -> o.getAddr() == d.getAddr())) {
                            if (d.getName() == null) {
                                d.setName(handheldName(d.getAddr()));
                            }
                            out.add(d);
                        }
                    }
                } finally {
                    a.deviceDone(handle);
                }
            }
            return out;
        });
    }

    public CompletableFuture<DeviceInfo> info(long addr) {
        return submit(a -> {
            DeviceInfo info = new DeviceInfo();
            check(a.getDeviceInfo(addr, info));
            return info;
        });
    }

    public CompletableFuture<byte[]> hardwareVersion(long addr) {
        return submit(a -> {
            byte[] version = new byte[4];
            a.getDeviceHardwareVersion(addr, version);
            return version;
        });
    }

    public CompletableFuture<Boolean> responsive(long addr) {
        return submit(a -> a.isDeviceStillResponsive(addr) == 0);
    }

    /** The folder's entries, folders first, then by name. */
    public CompletableFuture<List<Entry>> list(long addr, String folder) {
        return submit(a -> {
            int handle = check(a.dirinit(addr, folder));
            List<Entry> out = new ArrayList<>();
            try {
                for (;;) {
                    FileAttributes attrs = new FileAttributes();
                    String name = a.direnum(handle, attrs);
                    if (name == null) {
                        break;
                    }
                    if (!name.equals(".") && !name.equals("..")) {
                        out.add(new Entry(name, attrs));
                    }
                }
            } finally {
                a.dirdone(handle);
            }
            out.sort((x, y) -> x.attributes.isFolder() != y.attributes.isFolder()
                    ? (x.attributes.isFolder() ? -1 : 1)
                    : x.name.compareToIgnoreCase(y.name));
            return out;
        });
    }

    public CompletableFuture<FileAttributes> attributes(long addr, String path) {
        return submit(a -> {
            FileAttributes attrs = new FileAttributes();
            check(a.fileAttrs(addr, path, attrs));
            return attrs;
        });
    }

    /**
     * Runs a transfer or an installation with progress: {@code onProgress} hears each percentage
     * (on the worker thread) and {@link #cancel()} asks it to stop.
     */
    private CompletableFuture<Integer> withProgress(IntConsumer onProgress, Call<Integer> call) {
        return submit(a -> {
            cancel.set(false);
            progress = onProgress;
            try {
                return check(call.run(a));
            } finally {
                progress = null;
            }
        });
    }

    public CompletableFuture<Integer> send(long addr, String hostFile, String devicePath, IntConsumer onProgress) {
        return withProgress(onProgress, a -> a.sendFile(addr, hostFile, devicePath));
    }

    public CompletableFuture<Integer> fetch(long addr, String devicePath, String hostFile, IntConsumer onProgress) {
        return withProgress(onProgress, a -> a.getFile(addr, devicePath, hostFile));
    }

    public CompletableFuture<Integer> installOS(long addr, String imageName, IntConsumer onProgress) {
        return withProgress(onProgress, a -> a.installOS(addr, "", imageName));
    }

    /** Asks the running transfer or installation to stop at its next progress report. */
    public void cancel() {
        cancel.set(true);
    }

    public CompletableFuture<Integer> copy(long addr, String from, String to) {
        return submit(a -> check(a.copyFile(addr, from, to)));
    }

    public CompletableFuture<Integer> move(long addr, String from, String to) {
        return submit(a -> check(a.moveFile(addr, from, to)));
    }

    public CompletableFuture<Integer> delete(long addr, String path, boolean folder) {
        return submit(a -> check(folder ? a.rmDir(addr, path) : a.delete(addr, path)));
    }

    public CompletableFuture<Integer> makeFolder(long addr, String path) {
        return submit(a -> check(a.mkDir(addr, path)));
    }

    /** The handheld's screen as a picture, from its geometry and its image bytes. */
    public CompletableFuture<BufferedImage> screen(long addr) {
        return submit(a -> {
            DeviceInfo info = new DeviceInfo();
            a.getDeviceInfo(addr, info);
            long[] size = new long[1];
            a.getDeviceDisplaySize(addr, size);
            long expected = ScreenImage.byteCount(info.getImageWidth(), info.getImageHeight(),
                    info.getImageBitsPerPixel());
            if (expected <= 0 || expected > ScreenImage.MAX_BYTES) {
                throw new LinkException("Error.Screen.Geometry", null);
            }
            byte[] data = new byte[(int) expected];
            int got = 0;
            while (got < data.length) {
                byte[] chunk = new byte[Math.min(65536, data.length - got)];
                int n = check(a.getDeviceDisplayDataArray(addr, chunk, got, chunk.length));
                if (n == 0) {
                    break;
                }
                System.arraycopy(chunk, 0, data, got, n);
                got += n;
            }
            if (got < data.length) {
                throw new LinkException("Error.Screen.Short", null);
            }
            return ScreenImage.decode(data, info.getImageWidth(), info.getImageHeight(),
                    info.getImageBitsPerPixel());
        });
    }

    /** Device paths: a child of a folder. */
    public static String child(String folder, String name) {
        return folder.endsWith("/") ? folder + name : folder + "/" + name;
    }

    /** Device paths: the folder above, "/" for the top. */
    public static String parent(String path) {
        int slash = path.lastIndexOf('/');
        return slash <= 0 ? "/" : path.substring(0, slash);
    }
}
