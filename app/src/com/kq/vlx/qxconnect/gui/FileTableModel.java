package com.kq.vlx.qxconnect.gui;

import java.text.SimpleDateFormat;
import java.util.ArrayList;
import java.util.Date;
import java.util.List;
import java.util.TimeZone;

import javax.swing.table.AbstractTableModel;

import com.kq.vlx.qxconnect.DeviceSession.Entry;

/** The entries of one folder of the handheld: name, size, kind and date. */
final class FileTableModel extends AbstractTableModel {
    private static final long serialVersionUID = 1L;
    private static final String[] COLUMNS = {"Name", "Size", "Kind", "Date"};

    private final transient List<Entry> entries = new ArrayList<>();

    void setEntries(List<Entry> list) {
        entries.clear();
        entries.addAll(list);
        fireTableDataChanged();
    }

    Entry entry(int row) {
        return row >= 0 && row < entries.size() ? entries.get(row) : null;
    }

    @Override
    public int getRowCount() {
        return entries.size();
    }

    @Override
    public int getColumnCount() {
        return COLUMNS.length;
    }

    @Override
    public String getColumnName(int column) {
        return COLUMNS[column];
    }

    @Override
    public Class<?> getColumnClass(int column) {
        return column == 1 ? Long.class : String.class;
    }

    @Override
    public Object getValueAt(int row, int column) {
        Entry e = entries.get(row);
        switch (column) {
            case 0:
                return e.name;
            case 1:
                return e.attributes.isFolder() ? null : e.attributes.getSize();
            case 2:
                return e.attributes.isFolder() ? "folder" : "file";
            default:
                return dateText(e.attributes.getDate());
        }
    }

    /** The handheld's time stamp (seconds since 1970, UTC) as text; 0 shows as nothing. */
    static String dateText(long seconds) {
        if (seconds <= 0) {
            return "";
        }
        SimpleDateFormat format = new SimpleDateFormat("yyyy-MM-dd HH:mm");
        format.setTimeZone(TimeZone.getTimeZone("UTC"));
        return format.format(new Date(seconds * 1000));
    }
}
