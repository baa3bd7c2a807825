package com.kq.vlx.qxconnect.connectivity;

/** Attributes of one file or folder on the handheld: filled by {@code fileAttrs} and {@code direnum}. */
public class FileAttributes {
    private long size;
    private boolean folder;
    private long date;

    /** Size in bytes, as the handheld reports it (0 to 4294967295). */
    public void setSize(long size) {
        this.size = size;
    }

    public void setIsFolder(boolean folder) {
        this.folder = folder;
    }

    /** Time stamp as the handheld reports it (0 to 4294967295). */
    public void setDate(long date) {
        this.date = date;
    }

    public long getSize() {
        return size;
    }

    public boolean isFolder() {
        return folder;
    }

    public long getDate() {
        return date;
    }

    @Override
    public String toString() {
        return (folder ? "folder" : "file") + " size=" + size + " date=" + date;
    }
}
