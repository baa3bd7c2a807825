package com.kq.vlx.qxconnect.bridgetests;

import java.util.ArrayList;
import java.util.List;

import com.kq.vlx.qxconnect.connectivity.DeviceDescriptor;
import com.kq.vlx.qxconnect.connectivity.DeviceInfo;
import com.kq.vlx.qxconnect.connectivity.FileAttributes;

/** Holders that note every setter call ("setName=value"), in order, before storing the value. */
final class Recording {
    private Recording() {
    }

    static final class Info extends DeviceInfo {
        final List<String> calls = new ArrayList<>();

        @Override public void setBatteryLevel(int v) { calls.add("setBatteryLevel=" + v); super.setBatteryLevel(v); }
        @Override public void setInstallOSInfo(short v) { calls.add("setInstallOSInfo=" + v); super.setInstallOSInfo(v); }
        @Override public void setTotalMemoryKB(long v) { calls.add("setTotalMemoryKB=" + v); super.setTotalMemoryKB(v); }
        @Override public void setAvailableMemoryKB(long v) { calls.add("setAvailableMemoryKB=" + v); super.setAvailableMemoryKB(v); }
        @Override public void setOSInstallationSpaceDeficitKB(long v) {
            calls.add("setOSInstallationSpaceDeficitKB=" + v);
            super.setOSInstallationSpaceDeficitKB(v);
        }
        @Override public void setDisplaySize(long v) { calls.add("setDisplaySize=" + v); super.setDisplaySize(v); }
        @Override public void setImageHeight(int v) { calls.add("setImageHeight=" + v); super.setImageHeight(v); }
        @Override public void setImageWidth(int v) { calls.add("setImageWidth=" + v); super.setImageWidth(v); }
        @Override public void setImageBitsPerPixel(int v) { calls.add("setImageBitsPerPixel=" + v); super.setImageBitsPerPixel(v); }
        @Override public void setSerialNumber(String v) { calls.add("setSerialNumber=" + v); super.setSerialNumber(v); }
    }

    static final class Descriptor extends DeviceDescriptor {
        final List<String> calls = new ArrayList<>();

        @Override public void setAddr(long v) { calls.add("setAddr=" + v); super.setAddr(v); }
        @Override public void setGroup(int v) { calls.add("setGroup=" + v); super.setGroup(v); }
        @Override public void setSlot(int v) { calls.add("setSlot=" + v); super.setSlot(v); }
        @Override public void setName(String v) { calls.add("setName=" + v); super.setName(v); }
    }

    static final class Attributes extends FileAttributes {
        final List<String> calls = new ArrayList<>();

        @Override public void setSize(long v) { calls.add("setSize=" + v); super.setSize(v); }
        @Override public void setIsFolder(boolean v) { calls.add("setIsFolder=" + v); super.setIsFolder(v); }
        @Override public void setDate(long v) { calls.add("setDate=" + v); super.setDate(v); }
    }
}
