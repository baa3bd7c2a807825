package com.kq.vlx.qxconnect.gui;

import java.awt.BorderLayout;
import java.awt.Dimension;
import java.awt.EventQueue;
import java.awt.FlowLayout;
import java.awt.event.MouseAdapter;
import java.awt.event.MouseEvent;
import java.awt.event.WindowAdapter;
import java.awt.event.WindowEvent;
import java.awt.image.BufferedImage;
import java.io.File;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CompletionException;
import java.util.function.Consumer;
import java.util.function.IntConsumer;

import javax.swing.BorderFactory;
import javax.swing.DefaultListModel;
import javax.swing.ImageIcon;
import javax.swing.JButton;
import javax.swing.JComboBox;
import javax.swing.JFileChooser;
import javax.swing.JFrame;
import javax.swing.JLabel;
import javax.swing.JList;
import javax.swing.JOptionPane;
import javax.swing.JPanel;
import javax.swing.JProgressBar;
import javax.swing.JScrollPane;
import javax.swing.JSplitPane;
import javax.swing.JTabbedPane;
import javax.swing.JTable;
import javax.swing.JTextField;
import javax.swing.ListSelectionModel;
import javax.swing.SwingConstants;
import javax.swing.table.DefaultTableModel;

import com.kq.vlx.qxconnect.DeviceSession;
import com.kq.vlx.qxconnect.DeviceSession.Entry;
import com.kq.vlx.qxconnect.Trace;
import com.kq.vlx.qxconnect.connectivity.DeviceDescriptor;
import com.kq.vlx.qxconnect.connectivity.DeviceInfo;

/**
 * The application's main window: the attached handhelds, and for the chosen one its details, a
 * browser of its files (send, fetch, copy, move, delete, new folder), its screen and the
 * installation of a new operating system; a progress bar with a cancel button for transfers and
 * installations; the messages, among them the arguments of later launcher starts.
 *
 * <p>Everything here runs on Swing's event thread; the link is used through {@link DeviceSession},
 * whose futures complete back on this thread.
 */
public final class MainFrame extends JFrame {
    private static final long serialVersionUID = 1L;
    public static final String TITLE = "Lumara Link - Orvane-Connect";

    private final transient DeviceSession session;
    private final transient List<Runnable> closeActions = new ArrayList<>();

    private final JComboBox<DeviceDescriptor> devices = new JComboBox<>();
    private final DefaultTableModel infoModel = new DefaultTableModel(new Object[] {"Item", "Value"}, 0) {
        private static final long serialVersionUID = 1L;

        @Override
        public boolean isCellEditable(int row, int column) {
            return false;
        }
    };
    private final FileTableModel files = new FileTableModel();
    private final JTable fileTable = new JTable(files);
    private final JTextField folderField = new JTextField("/");
    private final JLabel screenLabel = new JLabel("No screen image yet", SwingConstants.CENTER);
    private final JTextField imageField = new JTextField();
    private final JProgressBar progress = new JProgressBar(0, 100);
    private final JButton cancelButton = new JButton("Cancel");
    private final JLabel status = new JLabel("Ready");
    private final DefaultListModel<String> messages = new DefaultListModel<>();
    private final List<JButton> actions = new ArrayList<>();
    private String folder = "/";
    private boolean fillingDevices;
    private long shownDevice = -1;
    private String pendingHostFile;

    public MainFrame(DeviceSession session) {
        super(TITLE);
        this.session = session;
        setDefaultCloseOperation(JFrame.DISPOSE_ON_CLOSE);
        addWindowListener(new WindowAdapter() {
            @Override
            public void windowClosed(WindowEvent e) {
                session.cancel();
                closeActions.forEach(Runnable::run);
                Trace.line("closed");
            }
        });

        JPanel top = new JPanel(new BorderLayout(6, 6));
        top.setBorder(BorderFactory.createEmptyBorder(6, 6, 0, 6));
        top.add(new JLabel("Handheld:"), BorderLayout.WEST);
        top.add(devices, BorderLayout.CENTER);
        top.add(button("Refresh", this::refreshDevices), BorderLayout.EAST);
        devices.addActionListener(e -> deviceChosen());

        JTabbedPane tabs = new JTabbedPane();
        tabs.addTab("Files", filesPanel());
        tabs.addTab("Screen", screenPanel());
        tabs.addTab("System", systemPanel());
        tabs.addTab("Messages", new JScrollPane(new JList<>(messages)));

        JPanel bottom = new JPanel(new BorderLayout(6, 6));
        bottom.setBorder(BorderFactory.createEmptyBorder(0, 6, 6, 6));
        bottom.add(status, BorderLayout.CENTER);
        JPanel bar = new JPanel(new FlowLayout(FlowLayout.RIGHT, 6, 0));
        progress.setStringPainted(true);
        progress.setPreferredSize(new Dimension(220, 22));
        bar.add(progress);
        cancelButton.setEnabled(false);
        cancelButton.addActionListener(e -> {
            session.cancel();
            status.setText("Cancelling ...");
        });
        bar.add(cancelButton);
        bottom.add(bar, BorderLayout.EAST);

        add(top, BorderLayout.NORTH);
        JTable infoTable = new JTable(infoModel);
        infoTable.getColumnModel().getColumn(0).setPreferredWidth(150);
        JScrollPane info = new JScrollPane(infoTable);
        info.setBorder(BorderFactory.createTitledBorder("Handheld"));
        JSplitPane split = new JSplitPane(JSplitPane.HORIZONTAL_SPLIT, info, tabs);
        split.setDividerLocation(330);
        add(split, BorderLayout.CENTER);
        add(bottom, BorderLayout.SOUTH);
        setSize(980, 560);
        setLocationRelativeTo(null);
    }

    /** Something to do when the window has closed (after the link's work is asked to stop). */
    public void addCloseAction(Runnable action) {
        closeActions.add(action);
    }

    /** Lists the handhelds; the first one is shown. */
    public void startSession() {
        EventQueue.invokeLater(this::refreshDevices);
    }

    /** A text for the message list (any thread). */
    public void message(String text) {
        EventQueue.invokeLater(() -> messages.addElement(text));
    }

    /**
     * An argument of this start or the text forwarded by a later start (any thread).  When it names
     * a host file, that file is offered for "Send".
     */
    public void argumentReceived(String text, boolean forwarded) {
        EventQueue.invokeLater(() -> {
            messages.addElement((forwarded ? "From another start: " : "Argument: ") + text);
            File file = new File(text);
            if (file.isFile()) {
                pendingHostFile = file.getAbsolutePath();
                status.setText("Ready to send " + file.getName() + " (Files, Send ...)");
            } else if (forwarded) {
                status.setText("Received from another start: " + text);
            }
            toFront();
        });
    }

    // ---- panels ------------------------------------------------------------------------------

    private JPanel filesPanel() {
        JPanel panel = new JPanel(new BorderLayout(6, 6));
        JPanel path = new JPanel(new BorderLayout(6, 6));
        path.add(new JLabel("Folder:"), BorderLayout.WEST);
        path.add(folderField, BorderLayout.CENTER);
        folderField.addActionListener(e -> showFolder(folderField.getText().trim()));
        JPanel nav = new JPanel(new FlowLayout(FlowLayout.RIGHT, 4, 0));
        nav.add(button("Up", () -> showFolder(DeviceSession.parent(folder))));
        nav.add(button("Reload", () -> showFolder(folder)));
        path.add(nav, BorderLayout.EAST);
        panel.add(path, BorderLayout.NORTH);

        fileTable.setSelectionMode(ListSelectionModel.SINGLE_SELECTION);
        fileTable.setAutoCreateRowSorter(true);
        fileTable.getColumnModel().getColumn(0).setPreferredWidth(260);
        fileTable.addMouseListener(new MouseAdapter() {
            @Override
            public void mouseClicked(MouseEvent e) {
                Entry entry = selected();
                if (e.getClickCount() == 2 && entry != null && entry.attributes.isFolder()) {
                    showFolder(DeviceSession.child(folder, entry.name));
                }
            }
        });
        panel.add(new JScrollPane(fileTable), BorderLayout.CENTER);

        JPanel buttons = new JPanel(new FlowLayout(FlowLayout.LEFT, 4, 0));
        buttons.add(button("Send ...", this::sendFile));
        buttons.add(button("Fetch ...", this::fetchFile));
        buttons.add(button("Copy ...", () -> copyOrMove(false)));
        buttons.add(button("Move ...", () -> copyOrMove(true)));
        buttons.add(button("Delete", this::deleteSelected));
        buttons.add(button("New folder ...", this::newFolder));
        buttons.add(button("Attributes", this::showAttributes));
        panel.add(buttons, BorderLayout.SOUTH);
        panel.setBorder(BorderFactory.createEmptyBorder(6, 6, 6, 6));
        return panel;
    }

    private JPanel screenPanel() {
        JPanel panel = new JPanel(new BorderLayout(6, 6));
        panel.add(new JScrollPane(screenLabel), BorderLayout.CENTER);
        JPanel south = new JPanel(new FlowLayout(FlowLayout.RIGHT));
        south.add(button("Capture screen", this::captureScreen));
        panel.add(south, BorderLayout.SOUTH);
        return panel;
    }

    private JPanel systemPanel() {
        JPanel panel = new JPanel(new BorderLayout(6, 6));
        panel.setBorder(BorderFactory.createEmptyBorder(12, 12, 12, 12));
        JPanel row = new JPanel(new BorderLayout(6, 6));
        row.add(new JLabel("System image on the handheld:"), BorderLayout.WEST);
        row.add(imageField, BorderLayout.CENTER);
        row.add(button("Install", this::installOS), BorderLayout.EAST);
        panel.add(row, BorderLayout.NORTH);
        panel.add(new JLabel("<html>Send the image to the handheld first (Files), select it there and "
                + "press Install.<br>The progress shows below; Cancel stops the installation.</html>"),
                BorderLayout.CENTER);
        return panel;
    }

    private JButton button(String text, Runnable action) {
        JButton b = new JButton(text);
        b.addActionListener(e -> action.run());
        actions.add(b);
        return b;
    }

    // ---- operations ---------------------------------------------------------------------------

    private DeviceDescriptor device() {
        return (DeviceDescriptor) devices.getSelectedItem();
    }

    private Entry selected() {
        int row = fileTable.getSelectedRow();
        return row < 0 ? null : files.entry(fileTable.convertRowIndexToModel(row));
    }

    /** Runs `future`'s result through `then` on this thread, or reports its failure. */
    private <T> void when(String what, CompletableFuture<T> future, Consumer<T> then) {
        future.whenComplete((value, failure) -> EventQueue.invokeLater(() -> {
            if (failure != null) {
                Throwable cause = failure instanceof CompletionException && failure.getCause() != null
                        ? failure.getCause() : failure;
                String key = cause instanceof DeviceSession.LinkException
                        ? ((DeviceSession.LinkException) cause).key() : String.valueOf(cause);
                Trace.line("failed " + what + " " + key);
                status.setText(what + " failed: " + cause.getMessage());
                messages.addElement(what + " failed: " + cause.getMessage());
            } else {
                then.accept(value);
            }
        }));
    }

    private void refreshDevices() {
        status.setText("Looking for handhelds ...");
        when("Looking for handhelds", session.listDevices(), list -> {
            fillingDevices = true;
            devices.removeAllItems();
            list.forEach(devices::addItem);
            fillingDevices = false;
            shownDevice = -1;
            StringBuilder trace = new StringBuilder("devices");
            list.forEach(d -> trace.append(' ').append(d.getAddressText()));
            Trace.line(trace.toString());
            status.setText(list.isEmpty() ? "No handheld found" : list.size() + " handheld(s)");
            if (!list.isEmpty()) {
                devices.setSelectedIndex(0);
                deviceChosen();
            }
        });
    }

    private void deviceChosen() {
        DeviceDescriptor d = device();
        if (fillingDevices || d == null || d.getAddr() == shownDevice) {
            return;
        }
        shownDevice = d.getAddr();
        infoModel.setRowCount(0);
        when("Reading the handheld's details", session.info(d.getAddr()), info -> showInfo(d, info));
        when("Reading the hardware version", session.hardwareVersion(d.getAddr()), v -> {
            infoModel.addRow(new Object[] {"Hardware version", (v[0] & 0xFF) + "." + (v[1] & 0xFF) + "."
                    + (v[2] & 0xFF) + "." + (v[3] & 0xFF)});
        });
        showFolder("/");
        captureScreen();
    }

    private void showInfo(DeviceDescriptor d, DeviceInfo info) {
        Object[][] rows = {
            {"Address", d.getAddressText()},
            {"Name", d.getName() == null ? "" : d.getName()},
            {"Serial number", info.getSerialNumber()},
            {"Battery", info.getBatteryLevel() + " %"},
            {"Storage", info.getAvailableMemoryKB() + " KB free of " + info.getTotalMemoryKB() + " KB"},
            {"Missing for a system installation", info.getOSInstallationSpaceDeficitKB() + " KB"},
            {"Ready for a system installation", info.getInstallOSInfo() != 0 ? "yes" : "no"},
            {"Screen", info.getImageWidth() + " x " + info.getImageHeight() + ", " + info.getImageBitsPerPixel()
                    + " bits per pixel (" + info.getDisplaySize() + " bytes)"},
        };
        for (Object[] row : rows) {
            infoModel.addRow(row);
        }
        Trace.line("info " + d.getAddressText() + " serial=" + info.getSerialNumber() + " battery="
                + info.getBatteryLevel() + " total=" + info.getTotalMemoryKB() + " free="
                + info.getAvailableMemoryKB());
        status.setText("Connected to " + d.getAddressText());
    }

    private void showFolder(String path) {
        DeviceDescriptor d = device();
        if (d == null) {
            return;
        }
        String target = path.isEmpty() ? "/" : path;
        when("Listing " + target, session.list(d.getAddr(), target), list -> {
            folder = target;
            folderField.setText(target);
            files.setEntries(list);
            Trace.line("list " + target + " " + list.size());
            for (Entry e : list) {
                Trace.line("entry " + target + " " + e.name + " " + (e.attributes.isFolder() ? "folder" : "file")
                        + " " + e.attributes.getSize());
            }
            status.setText(target + ": " + list.size() + " entries");
        });
    }

    private void showAttributes() {
        Entry e = selected();
        DeviceDescriptor d = device();
        if (e == null || d == null) {
            return;
        }
        String path = DeviceSession.child(folder, e.name);
        when("Reading the attributes of " + path, session.attributes(d.getAddr(), path), a -> {
            String text = path + ": " + (a.isFolder() ? "folder" : "file") + ", " + a.getSize() + " bytes, "
                    + FileTableModel.dateText(a.getDate());
            messages.addElement(text);
            Trace.line("attr " + path + " " + (a.isFolder() ? "folder" : "file") + " " + a.getSize());
            JOptionPane.showMessageDialog(this, text, "Attributes", JOptionPane.INFORMATION_MESSAGE);
        });
    }

    /** Runs a transfer or an installation with the progress bar and the cancel button. */
    private void withProgress(String what, java.util.function.Function<IntConsumer, CompletableFuture<Integer>> start,
                              Runnable after) {
        actions.forEach(b -> b.setEnabled(false));
        cancelButton.setEnabled(true);
        progress.setValue(0);
        status.setText(what + " ...");
        CompletableFuture<Integer> future = start.apply(percent -> EventQueue.invokeLater(() -> {
            progress.setValue(Math.max(0, Math.min(100, percent)));
            Trace.line("progress " + percent);
        }));
        future.whenComplete((v, f) -> EventQueue.invokeLater(() -> {
            actions.forEach(b -> b.setEnabled(true));
            cancelButton.setEnabled(false);
        }));
        when(what, future, rc -> {
            progress.setValue(100);
            status.setText(what + ": done");
            Trace.line("done " + what);
            after.run();
        });
    }

    private void sendFile() {
        DeviceDescriptor d = device();
        if (d == null) {
            return;
        }
        String host = pendingHostFile;
        if (host == null) {
            JFileChooser chooser = new JFileChooser();
            if (chooser.showOpenDialog(this) != JFileChooser.APPROVE_OPTION) {
                return;
            }
            host = chooser.getSelectedFile().getAbsolutePath();
        }
        pendingHostFile = null;
        String target = DeviceSession.child(folder, new File(host).getName());
        String from = host;
        withProgress("Sending " + new File(host).getName(), p -> session.send(d.getAddr(), from, target, p),
                () -> showFolder(folder));
    }

    private void fetchFile() {
        DeviceDescriptor d = device();
        Entry e = selected();
        if (d == null || e == null || e.attributes.isFolder()) {
            status.setText("Select a file to fetch");
            return;
        }
        JFileChooser chooser = new JFileChooser();
        chooser.setSelectedFile(new File(e.name));
        if (chooser.showSaveDialog(this) != JFileChooser.APPROVE_OPTION) {
            return;
        }
        String host = chooser.getSelectedFile().getAbsolutePath();
        String source = DeviceSession.child(folder, e.name);
        withProgress("Fetching " + e.name, p -> session.fetch(d.getAddr(), source, host, p), () -> { });
    }

    private void copyOrMove(boolean move) {
        DeviceDescriptor d = device();
        Entry e = selected();
        if (d == null || e == null) {
            status.setText("Select an entry first");
            return;
        }
        String source = DeviceSession.child(folder, e.name);
        String target = JOptionPane.showInputDialog(this, (move ? "Move " : "Copy ") + source + " to:", source);
        if (target == null || target.isBlank() || target.equals(source)) {
            return;
        }
        CompletableFuture<Integer> f = move ? session.move(d.getAddr(), source, target.trim())
                : session.copy(d.getAddr(), source, target.trim());
        when(move ? "Moving " + e.name : "Copying " + e.name, f, rc -> showFolder(folder));
    }

    private void deleteSelected() {
        DeviceDescriptor d = device();
        Entry e = selected();
        if (d == null || e == null) {
            status.setText("Select an entry first");
            return;
        }
        String path = DeviceSession.child(folder, e.name);
        if (JOptionPane.showConfirmDialog(this, "Delete " + path + "?", "Delete",
                JOptionPane.OK_CANCEL_OPTION) != JOptionPane.OK_OPTION) {
            return;
        }
        when("Deleting " + e.name, session.delete(d.getAddr(), path, e.attributes.isFolder()),
                rc -> showFolder(folder));
    }

    private void newFolder() {
        DeviceDescriptor d = device();
        if (d == null) {
            return;
        }
        String name = JOptionPane.showInputDialog(this, "Name of the new folder in " + folder + ":");
        if (name == null || name.isBlank()) {
            return;
        }
        when("Creating " + name, session.makeFolder(d.getAddr(), DeviceSession.child(folder, name.trim())),
                rc -> showFolder(folder));
    }

    private void captureScreen() {
        DeviceDescriptor d = device();
        if (d == null) {
            return;
        }
        when("Capturing the screen", session.screen(d.getAddr()), image -> {
            BufferedImage shown = image;
            if (image.getWidth() < 400) {
                // Small screens are shown at twice their size.
                shown = new BufferedImage(image.getWidth() * 2, image.getHeight() * 2, BufferedImage.TYPE_INT_RGB);
                shown.createGraphics().drawImage(image, 0, 0, shown.getWidth(), shown.getHeight(), null);
            }
            screenLabel.setText(null);
            screenLabel.setIcon(new ImageIcon(shown));
            Trace.line("screen " + image.getWidth() + "x" + image.getHeight());
        });
    }

    private void installOS() {
        DeviceDescriptor d = device();
        if (d == null) {
            return;
        }
        String image = imageField.getText().trim();
        if (image.isEmpty()) {
            Entry e = selected();
            if (e == null || e.attributes.isFolder()) {
                status.setText("Name the system image on the handheld first");
                return;
            }
            image = DeviceSession.child(folder, e.name);
            imageField.setText(image);
        }
        String name = image;
        withProgress("Installing " + name, p -> session.installOS(d.getAddr(), name, p), () -> { });
    }
}
