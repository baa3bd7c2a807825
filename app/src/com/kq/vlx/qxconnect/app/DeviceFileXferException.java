package com.kq.vlx.qxconnect.app;

/**
 * Raised by the connectivity natives when a file could not be sent, fetched or copied.  The message is a message key
 * (for example "Error.DeviceNotConnected") that the application turns into text.
 */
public class DeviceFileXferException extends Exception {
    private static final long serialVersionUID = 1L;

    public DeviceFileXferException(String messageKey) {
        super(messageKey);
    }

    /** The message key that the native gave. */
    public String getMessageKey() {
        return getMessage();
    }
}
