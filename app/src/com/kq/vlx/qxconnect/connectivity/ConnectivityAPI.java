package com.kq.vlx.qxconnect.connectivity;

import java.util.function.IntUnaryOperator;

import com.kq.vlx.qxconnect.app.DeleteFileException;
import com.kq.vlx.qxconnect.app.DeviceFileNotFoundException;
import com.kq.vlx.qxconnect.app.DeviceFileXferException;
import com.kq.vlx.qxconnect.app.DeviceInstallOSException;
import com.kq.vlx.qxconnect.app.DeviceNotConnectedException;
import com.kq.vlx.qxconnect.app.GenericCommException;
import com.kq.vlx.qxconnect.app.RenameFileException;

/**
 * The application's way to the attached handhelds, through the native library QXConJNI
 * (loaded from the Java library path when this class is first used).
 *
 * <p>Addresses are IPv4 addresses in host order in the low 32 bits of a long (172.16.0.2 is
 * 0xAC100002L).  The natives return the link's result code: 0 or a positive value (a count,
 * a handle) on success, a negative code on failure.  The failures that the application must
 * see as errors are raised instead as the exceptions of {@code com.kq.vlx.qxconnect.app},
 * whose message is a message key.  {@link #initAPI()} comes first; natives are called one at
 * a time, never with null arguments.
 *
 * <p>While a transfer or an installation runs, its progress arrives through
 * {@link #sendCallBack(int)}: 0 to 99 while it runs, 100 at its end.
 */
public class ConnectivityAPI {
    static {
        System.loadLibrary("QXConJNI");
    }

    private volatile IntUnaryOperator progressListener;

    /**
     * Sets who hears the progress of transfers and installations: it receives each
     * percentage and answers 0 to go on, anything else to stop.  Null: nobody, never stop.
     */
    public void setProgressListener(IntUnaryOperator listener) {
        this.progressListener = listener;
    }

    /** Called by the natives with a percentage; a nonzero answer asks them to stop. */
    public int sendCallBack(int percent) {
        IntUnaryOperator listener = progressListener;
        return listener == null ? 0 : listener.applyAsInt(percent);
    }

    /** Starts the link (10 s waits for every exchange): 0, or -220. */
    public native int initAPI();

    // ---- discovery -----------------------------------------------------------------------

    /** Opens a discovery: its handle, or -221 (one is open), -220. */
    public native int deviceInit();

    /** Next handheld that answers, into the descriptor: 0, or negative (-1 after the last). */
    public native int deviceEnum(int handle, DeviceDescriptor descriptor);

    public native int deviceDone(int handle);

    /** 0 when the handheld answers its probe; -1 silent, -2 a foreign answer, -220. */
    public native int isDeviceStillResponsive(long addr);

    // ---- status ----------------------------------------------------------------------------

    public native int getDeviceInfo(long addr, DeviceInfo info)
            throws DeviceNotConnectedException, GenericCommException;

    /** The four hardware version bytes into {@code version[0..3]} (as many as it holds). */
    public native int getDeviceHardwareVersion(long addr, byte[] version)
            throws DeviceNotConnectedException, GenericCommException;

    /** The screen image's byte count into {@code size[0]}. */
    public native int getDeviceDisplaySize(long addr, long[] size)
            throws DeviceNotConnectedException, GenericCommException;

    /**
     * Screen image bytes from {@code offset} into {@code data}: at most {@code maximum}
     * (0: the whole image), never more than the array holds.  Returns the count delivered.
     */
    public native int getDeviceDisplayDataArray(long addr, byte[] data, long offset, int maximum)
            throws DeviceNotConnectedException, GenericCommException;

    // ---- files -----------------------------------------------------------------------------

    /** Opens a listing of a folder: its handle, or a negative code. */
    public native int dirinit(long addr, String path) throws DeviceFileNotFoundException;

    /** The next entry's name (its attributes into the holder), or null at the end. */
    public native String direnum(int handle, FileAttributes attributes)
            throws DeviceNotConnectedException, GenericCommException;

    public native int dirdone(int handle);

    public native int fileAttrs(long addr, String path, FileAttributes attributes)
            throws DeviceNotConnectedException, GenericCommException, DeviceFileNotFoundException;

    public native int sendFile(long addr, String hostFile, String devicePath)
            throws DeviceNotConnectedException, GenericCommException, DeviceFileXferException;

    public native int getFile(long addr, String devicePath, String hostFile)
            throws DeviceNotConnectedException, GenericCommException, DeviceFileXferException;

    public native int copyFile(long addr, String source, String destination)
            throws DeviceNotConnectedException, GenericCommException, DeviceFileXferException;

    public native int moveFile(long addr, String source, String destination)
            throws DeviceNotConnectedException, GenericCommException, RenameFileException;

    public native int delete(long addr, String path)
            throws DeviceNotConnectedException, GenericCommException, DeviceFileNotFoundException,
                   DeleteFileException;

    public native int mkDir(long addr, String path)
            throws DeviceNotConnectedException, GenericCommException, DeviceFileNotFoundException;

    public native int rmDir(long addr, String path)
            throws DeviceNotConnectedException, GenericCommException, DeviceFileNotFoundException;

    // ---- operating system ------------------------------------------------------------------

    /** Has the handheld install the image {@code imageName}; {@code unused} is not read. */
    public native int installOS(long addr, String unused, String imageName)
            throws DeviceNotConnectedException, GenericCommException, DeviceInstallOSException;
}
