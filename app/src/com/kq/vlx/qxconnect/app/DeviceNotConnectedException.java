package com.kq.vlx.qxconnect.app;

/**
 * Raised by the connectivity natives when the handheld cannot be reached, or stopped answering.  The message is a message key
 * (for example "Error.DeviceNotConnected") that the application turns into text.
 */
public class DeviceNotConnectedException extends Exception {
    private static final long serialVersionUID = 1L;

    public DeviceNotConnectedException(String messageKey) {
        super(messageKey);
    }

    /** The message key that the native gave. */
    public String getMessageKey() {
        return getMessage();
    }
}
