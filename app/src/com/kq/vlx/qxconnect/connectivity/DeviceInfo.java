package com.kq.vlx.qxconnect.connectivity;

/** Status of one handheld: filled by {@code ConnectivityAPI.getDeviceInfo}. */
public class DeviceInfo {
    private int batteryLevel;
    private short installOSInfo;
    private long totalMemoryKB;
    private long availableMemoryKB;
    private long osInstallationSpaceDeficitKB;
    private long displaySize;
    private int imageHeight;
    private int imageWidth;
    private int imageBitsPerPixel;
    private String serialNumber;

    public void setBatteryLevel(int level) {
        this.batteryLevel = level;
    }

    /** Readiness for an operating system installation, as the handheld reports it. */
    public void setInstallOSInfo(short info) {
        this.installOSInfo = info;
    }

    public void setTotalMemoryKB(long kilobytes) {
        this.totalMemoryKB = kilobytes;
    }

    public void setAvailableMemoryKB(long kilobytes) {
        this.availableMemoryKB = kilobytes;
    }

    /** Storage still missing for an operating system installation. */
    public void setOSInstallationSpaceDeficitKB(long kilobytes) {
        this.osInstallationSpaceDeficitKB = kilobytes;
    }

    /** Byte count of the screen image. */
    public void setDisplaySize(long bytes) {
        this.displaySize = bytes;
    }

    public void setImageHeight(int pixels) {
        this.imageHeight = pixels;
    }

    public void setImageWidth(int pixels) {
        this.imageWidth = pixels;
    }

    public void setImageBitsPerPixel(int bits) {
        this.imageBitsPerPixel = bits;
    }

    public void setSerialNumber(String serial) {
        this.serialNumber = serial;
    }

    public int getBatteryLevel() {
        return batteryLevel;
    }

    public short getInstallOSInfo() {
        return installOSInfo;
    }

    public long getTotalMemoryKB() {
        return totalMemoryKB;
    }

    public long getAvailableMemoryKB() {
        return availableMemoryKB;
    }

    public long getOSInstallationSpaceDeficitKB() {
        return osInstallationSpaceDeficitKB;
    }

    public long getDisplaySize() {
        return displaySize;
    }

    public int getImageHeight() {
        return imageHeight;
    }

    public int getImageWidth() {
        return imageWidth;
    }

    public int getImageBitsPerPixel() {
        return imageBitsPerPixel;
    }

    public String getSerialNumber() {
        return serialNumber;
    }
}
