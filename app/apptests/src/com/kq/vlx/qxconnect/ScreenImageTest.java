package com.kq.vlx.qxconnect;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.fail;

import java.awt.image.BufferedImage;

import org.junit.Test;

/** Decoding of the handheld's screen image at each depth. */
public class ScreenImageTest {
    @Test
    public void rgb565LittleEndian() {
        // Two pixels: pure red (0xF800) and pure blue (0x001F), lowest byte first.
        BufferedImage image = ScreenImage.decode(new byte[] {0x00, (byte) 0xF8, 0x1F, 0x00}, 2, 1, 16);
        assertEquals(0xFF0000, image.getRGB(0, 0) & 0xFFFFFF);
        assertEquals(0x0000FF, image.getRGB(1, 0) & 0xFFFFFF);
    }

    @Test
    public void rgbAndXrgbWithBlueFirst() {
        BufferedImage rgb = ScreenImage.decode(new byte[] {0x10, 0x20, 0x30}, 1, 1, 24);
        assertEquals(0x302010, rgb.getRGB(0, 0) & 0xFFFFFF);
        BufferedImage xrgb = ScreenImage.decode(new byte[] {0x10, 0x20, 0x30, 0x7F}, 1, 1, 32);
        assertEquals(0x302010, xrgb.getRGB(0, 0) & 0xFFFFFF);
    }

    @Test
    public void rowsFromTheTopWithoutPadding() {
        BufferedImage grey = ScreenImage.decode(new byte[] {0, 1, 2, 3, 4, 5}, 3, 2, 8);
        assertEquals(0x040404, grey.getRGB(1, 1) & 0xFFFFFF);
        assertEquals(0x020202, grey.getRGB(2, 0) & 0xFFFFFF);
    }

    @Test
    public void sizesAndRefusals() {
        assertEquals(320L * 240 * 2, ScreenImage.byteCount(320, 240, 16));
        assertEquals(0, ScreenImage.byteCount(0, 240, 16));
        assertEquals(0, ScreenImage.byteCount(320, 240, -1));
        for (int[] bad : new int[][] {{1, 1, 12}, {2, 2, 16}}) {
            try {
                ScreenImage.decode(new byte[4], bad[0], bad[1], bad[2]);
                if (bad[2] == 16) {
                    fail("8 bytes are needed, 4 given");
                } else {
                    fail("12 bits per pixel has no pixel meaning");
                }
            } catch (IllegalArgumentException expected) {
                // refused
            }
        }
    }
}
