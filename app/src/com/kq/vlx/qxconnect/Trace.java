package com.kq.vlx.qxconnect;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;

/**
 * An optional record of what the application shows, one line per event, for tests and the
 * demo: the file named by the environment variable QXCONNECT_TRACE (nothing without it).
 */
public final class Trace {
    private static final Path FILE;

    static {
        String where = System.getenv("QXCONNECT_TRACE");
        FILE = where == null || where.isEmpty() ? null : Paths.get(where);
    }

    private Trace() {
    }

    public static synchronized void line(String text) {
        if (FILE == null) {
            return;
        }
        try {
            Files.write(FILE, (text + "\n").getBytes(StandardCharsets.UTF_8), StandardOpenOption.CREATE,
                    StandardOpenOption.APPEND);
        } catch (IOException e) {
            System.err.println("qxconnect: trace: " + e.getMessage());
        }
    }
}
