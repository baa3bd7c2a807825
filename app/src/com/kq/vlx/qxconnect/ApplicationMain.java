package com.kq.vlx.qxconnect;

import java.awt.EventQueue;
import java.awt.Toolkit;
import java.io.IOException;
import java.lang.reflect.Field;

import com.kq.vlx.qxconnect.gui.MainFrame;

/**
 * The desktop application's entry, called by the launcher KQ-LumaraLink on its primary thread
 * inside a JVM of its own (or by {@code java -cp lib/qxconnect.jar -Djava.library.path=lib}).
 *
 * <p>It names the X class of its windows "com.kq.vlx.qxconnect.gui.MainFrame" (the launcher and
 * its splash find the main window by that class), opens the listener for the arguments of later
 * launcher starts on port 46001 of the loopback address, shows the main window and returns; the
 * JVM ends once the main window is closed (every thread of the application is a daemon, and
 * Swing's own threads end with the last window).
 *
 * <p>Arguments: host files to preselect for sending; they are shown in the message list.
 */
public final class ApplicationMain {
    /** X class of the application's windows. */
    public static final String WINDOW_CLASS = "com.kq.vlx.qxconnect.gui.MainFrame";

    private ApplicationMain() {
    }

    public static void main(String[] args) throws Exception {
        nameWindowClass();
        Trace.line("start " + String.join(" ", args));
        MainFrame[] frame = new MainFrame[1];
        EventQueue.invokeAndWait(() -> {
            frame[0] = new MainFrame(new DeviceSession());
            frame[0].setVisible(true);
        });
        for (String arg : args) {
            frame[0].argumentReceived(arg, false);
        }
        ArgumentListener listener = new ArgumentListener(text -> frame[0].argumentReceived(text, true));
        try {
            listener.start();
            frame[0].addCloseAction(listener::close);
        } catch (IOException e) {
            // Another application holds the port: later starts cannot reach this one.
            frame[0].message("Forwarded arguments cannot be received: " + e.getMessage());
        }
        frame[0].startSession();
    }

    /**
     * AWT takes its windows' X class from its {@code awtAppClassName}, which its toolkit derives
     * from the main class when it is made; it is replaced here before the first window exists.
     * Needs {@code --add-opens=java.desktop/sun.awt.X11=ALL-UNNAMED}, which the launcher gives.
     */
    static void nameWindowClass() {
        Toolkit toolkit = Toolkit.getDefaultToolkit();
        if (!toolkit.getClass().getName().equals("sun.awt.X11.XToolkit")) {
            return;
        }
        try {
            Field name = toolkit.getClass().getDeclaredField("awtAppClassName");
            name.setAccessible(true);
            name.set(null, WINDOW_CLASS);
        } catch (ReflectiveOperationException | RuntimeException e) {
            System.err.println("qxconnect: the window class cannot be set (" + e + "); started without the launcher?");
        }
    }
}
