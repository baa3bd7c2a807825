package com.kq.vlx.qxconnect.app;

/**
 * Raised by the connectivity natives when the handheld could not install an operating system image.  The message is a message key
 * (for example "Error.DeviceNotConnected") that the application turns into text.
 */
public class DeviceInstallOSException extends Exception {
    private static final long serialVersionUID = 1L;

    public DeviceInstallOSException(String messageKey) {
        super(messageKey);
    }

    /** The message key that the native gave. */
    public String getMessageKey() {
        return getMessage();
    }
}
