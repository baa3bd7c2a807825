package com.kq.vlx.qxconnect;

import java.awt.image.BufferedImage;

/**
 * The handheld's screen image: rows from the top, pixels from the left, no padding; pixel values
 * little-endian in bitsPerPixel / 8 bytes: 16 bits RGB565, 24 and 32 bits RGB (blue in the lowest
 * byte), 8 bits a grey level.
 */
public final class ScreenImage {
    static final long MAX_BYTES = 64L << 20;

    private ScreenImage() {
    }

    public static long byteCount(int width, int height, int bitsPerPixel) {
        if (width <= 0 || height <= 0 || bitsPerPixel <= 0) {
            return 0;
        }
        return (long) width * height * bitsPerPixel / 8;
    }

    /** The picture, or an IllegalArgumentException for a depth without pixel meaning or short data. */
    public static BufferedImage decode(byte[] data, int width, int height, int bitsPerPixel) {
        int bytes = bitsPerPixel / 8;
        if ((bitsPerPixel != 8 && bitsPerPixel != 16 && bitsPerPixel != 24 && bitsPerPixel != 32)
                || data.length < byteCount(width, height, bitsPerPixel)) {
            throw new IllegalArgumentException("screen image of " + bitsPerPixel + " bits per pixel, "
                    + data.length + " bytes for " + width + " x " + height);
        }
        BufferedImage image = new BufferedImage(width, height, BufferedImage.TYPE_INT_RGB);
        int at = 0;
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++, at += bytes) {
                int v = 0;
                for (int k = bytes - 1; k >= 0; k--) {
                    v = (v << 8) | (data[at + k] & 0xFF);
                }
                int rgb;
                switch (bitsPerPixel) {
                    case 8:
                        rgb = v << 16 | v << 8 | v;
                        break;
                    case 16: {
                        int r = (v >> 11) & 0x1F;
                        int g = (v >> 5) & 0x3F;
                        int b = v & 0x1F;
                        rgb = (r << 3 | r >> 2) << 16 | (g << 2 | g >> 4) << 8 | (b << 3 | b >> 2);
                        break;
                    }
                    default:
                        rgb = v & 0xFFFFFF;
                        break;
                }
                image.setRGB(x, y, rgb);
            }
        }
        return image;
    }
}
