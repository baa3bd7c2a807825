package com.kq.vlx.qxconnect.bridgetests;

/** The message keys that the natives give their exceptions. */
final class Keys {
    private Keys() {
    }

    static final String NOT_CONNECTED = "Error.DeviceNotConnected";
    static final String GENERIC = "Error.GenericCommFailure";
    static final String FILE_NOT_FOUND = "Error.DeviceFileNotFound";
    static final String PERMISSION_DENIED = "Error.DeviceFileXfer.PermissionDenied";
    static final String HOST_IO_FAILED = "Error.DeviceFileXfer.HostIOFailed";
    static final String DEVICE_DISK_FULL = "Error.DeviceFileXfer.DeviceDiskFull";
    static final String SEND_BAD_PATH = "Error.DeviceFileXfer.Send.BadPath";
    static final String GET_BAD_PATH = "Error.DeviceFileXfer.Get.BadPath";
    static final String COPY_BAD_PATH = "Error.DeviceFileXfer.Copy.BadPath";
    static final String PATH_TOO_LONG = "Error.DeviceFileXfer.PathTooLong";
    static final String RENAME_DISK_FULL = "Error.Rename.DeviceDiskFull";
    static final String RENAME_BAD_CHARS = "Error.RenameBadChars";
    static final String RENAME_PATH_TOO_LONG = "Error.RenamePathTooLong";
    static final String RENAME_EXISTS = "Error.RenameAlreadyExists";
    static final String RENAME_FAILED = "Error.RenameFailed";
    static final String DELETE_FAILED = "Error.DeleteFileFailed";
    static final String OS_BATTERY_LOW = "Error.DeviceInstallOS.BatteryLow";
    static final String OS_DISK_FULL = "Error.DeviceInstallOS.DiskFull";
    static final String OS_BUSY = "Error.DeviceInstallOS.Busy";
    static final String OS_BAD_FILE = "Error.DeviceInstallOS.BadFile";

    /** A handheld path whose escaped form is far beyond what one command can carry. */
    static String longPath() {
        return "/" + "d".repeat(1600);
    }
}
