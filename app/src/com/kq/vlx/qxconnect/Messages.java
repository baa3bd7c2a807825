package com.kq.vlx.qxconnect;

import java.util.Map;

/** Texts for the message keys of the link's exceptions and the application's own failures. */
public final class Messages {
    private static final Map<String, String> TEXTS = Map.ofEntries(
            Map.entry("Error.DeviceNotConnected", "The handheld does not answer. Is it attached?"),
            Map.entry("Error.GenericCommFailure", "The link to the handheld failed."),
            Map.entry("Error.DeviceInstallOS.BatteryLow", "The handheld's battery is too low to install."),
            Map.entry("Error.DeviceInstallOS.DiskFull", "The handheld has no room for the installation."),
            Map.entry("Error.DeviceInstallOS.Busy", "The handheld is busy and cannot install now."),
            Map.entry("Error.DeviceInstallOS.BadFile", "The handheld cannot use that system image."),
            Map.entry("Error.NoNativeLibrary", "The link library QXConJNI cannot be loaded."));

    private Messages() {
    }

    /** The text for a key; keys without a text of their own are shown as they are. */
    public static String text(String key) {
        if (key == null) {
            return "Unknown failure";
        }
        String text = TEXTS.get(key);
        if (text != null) {
            return text + " (" + key + ")";
        }
        for (Map.Entry<String, String> e : TEXTS.entrySet()) {
            if (key.startsWith(e.getKey() + ".")) {
                return e.getValue() + " (" + key + ")";
            }
        }
        return key;
    }
}
