package com.kq.vlx.qxconnect.app;

/**
 * Raised by the connectivity natives when a file or folder on the handheld could not be moved or renamed.  The message is a message key
 * (for example "Error.DeviceNotConnected") that the application turns into text.
 */
public class RenameFileException extends Exception {
    private static final long serialVersionUID = 1L;

    public RenameFileException(String messageKey) {
        super(messageKey);
    }

    /** The message key that the native gave. */
    public String getMessageKey() {
        return getMessage();
    }
}
