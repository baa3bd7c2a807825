package com.kq.vlx.qxconnect.connectivity;

/** One attached handheld as discovery found it: filled by {@code ConnectivityAPI.deviceEnum}. */
public class DeviceDescriptor {
    private long addr;
    private int group;
    private int slot;
    private String name;

    /** The handheld's IPv4 address, host order, in the low 32 bits. */
    public void setAddr(long addr) {
        this.addr = addr;
    }

    public void setGroup(int group) {
        this.group = group;
    }

    /** Index of the computer's network interface that leads to the handheld. */
    public void setSlot(int slot) {
        this.slot = slot;
    }

    public void setName(String name) {
        this.name = name;
    }

    public long getAddr() {
        return addr;
    }

    public int getGroup() {
        return group;
    }

    public int getSlot() {
        return slot;
    }

    /** The handheld's name, or null when discovery knows none. */
    public String getName() {
        return name;
    }

    /** The address in dotted form. */
    public String getAddressText() {
        return ((addr >> 24) & 0xFF) + "." + ((addr >> 16) & 0xFF) + "." + ((addr >> 8) & 0xFF) + "." + (addr & 0xFF);
    }

    @Override
    public String toString() {
        return getAddressText() + " (group " + group + ", slot " + slot + (name != null ? ", " + name : "") + ")";
    }
}
