package com.kq.vlx.qxconnect.app;

/**
 * Raised by the connectivity natives when an exchange with the handheld failed on the way.  The message is a message key
 * (for example "Error.DeviceNotConnected") that the application turns into text.
 */
public class GenericCommException extends Exception {
    private static final long serialVersionUID = 1L;

    public GenericCommException(String messageKey) {
        super(messageKey);
    }

    /** The message key that the native gave. */
    public String getMessageKey() {
        return getMessage();
    }
}
