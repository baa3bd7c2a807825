package com.kq.vlx.qxconnect.app;

/**
 * Raised by the connectivity natives when a path on the handheld does not exist.  The message is a message key
 * (for example "Error.DeviceNotConnected") that the application turns into text.
 */
public class DeviceFileNotFoundException extends Exception {
    private static final long serialVersionUID = 1L;

    public DeviceFileNotFoundException(String messageKey) {
        super(messageKey);
    }

    /** The message key that the native gave. */
    public String getMessageKey() {
        return getMessage();
    }
}
