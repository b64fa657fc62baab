// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.testsupport;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/**
 * Checks an HDF5 scan log with Debian's h5py (tests/support/h5py/check_scan_log.py), a reader that
 * this project did not write. The expectations travel as a JSON file, the expected values as raw
 * little-endian files beside it.
 */
public final class H5py {
    private H5py() {
    }

    /** Runs the checker on {@code expect} (see the script's doc) and returns its "ok: ..." line; fails the test otherwise. */
    public static String check(Path dir, Map<String, Object> expect) throws IOException, InterruptedException {
        Path json = Files.createTempFile(dir, "expect", ".json");
        Files.writeString(json, toJson(expect));
        ProcessBuilder pb = new ProcessBuilder(System.getProperty("vorn.h5py.python", "/usr/bin/python3"),
                System.getProperty("vorn.h5py.check"), json.toString()).redirectErrorStream(true);
        // The reader runs as any user's Python would: without the emulated board or a sanitizer preloaded.
        pb.environment().remove("LD_PRELOAD");
        Process p = pb.start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).trim();
        if (!p.waitFor(120, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            throw new AssertionError("h5py check did not end: " + out);
        }
        assertEquals(0, p.exitValue(), "h5py check of " + expect.get("file") + ": " + out);
        return out;
    }

    /** Writes {@code values} as int64 little-endian, the checker's "raw" file. */
    public static Path int64File(Path dir, long[] values, int count) throws IOException {
        ByteBuffer b = littleEndian(count);
        b.asLongBuffer().put(values, 0, count);
        return tempFile(dir, "raw", ".i8", b);
    }

    /** Writes {@code values} as float64 little-endian, the checker's "volts_from_attrs" file. */
    public static Path float64File(Path dir, double[] values, int count) throws IOException {
        ByteBuffer b = littleEndian(count);
        b.asDoubleBuffer().put(values, 0, count);
        return tempFile(dir, "volts", ".f8", b);
    }

    /** Room for {@code count} 8-byte values; the views taken of it keep its byte order. */
    private static ByteBuffer littleEndian(int count) {
        return ByteBuffer.allocate(8 * count).order(ByteOrder.LITTLE_ENDIAN);
    }

    private static Path tempFile(Path dir, String prefix, String suffix, ByteBuffer contents) throws IOException {
        Path f = Files.createTempFile(dir, prefix, suffix);
        Files.write(f, contents.array());
        return f;
    }

    static String toJson(Object v) {
        if (v == null) {
            return "null";
        }
        if (v instanceof String s) {
            StringBuilder b = new StringBuilder("\"");
            for (char c : s.toCharArray()) {
                if (c == '"' || c == '\\') {
                    b.append('\\').append(c);
                } else if (c < 0x20 || c > 0x7e) {
                    b.append(String.format(Locale.ROOT, "\\u%04x", (int) c));
                } else {
                    b.append(c);
                }
            }
            return b.append('"').toString();
        }
        if (v instanceof Path p) {
            return toJson(p.toString());
        }
        if (v instanceof Double d) {
            return Double.toString(d); // the shortest text that reads back as the same double
        }
        if (v instanceof Number || v instanceof Boolean) {
            return v.toString();
        }
        if (v instanceof long[] a) {
            return toJson(java.util.Arrays.stream(a).boxed().toList());
        }
        if (v instanceof double[] a) {
            return toJson(java.util.Arrays.stream(a).boxed().toList());
        }
        if (v instanceof String[] a) {
            return toJson(List.of(a));
        }
        if (v instanceof List<?> l) {
            StringBuilder b = new StringBuilder("[");
            for (Object o : l) {
                b.append(b.length() > 1 ? "," : "").append(toJson(o));
            }
            return b.append(']').toString();
        }
        if (v instanceof Map<?, ?> m) {
            StringBuilder b = new StringBuilder("{");
            for (Map.Entry<?, ?> e : m.entrySet()) {
                b.append(b.length() > 1 ? "," : "").append(toJson(e.getKey().toString())).append(':')
                        .append(toJson(e.getValue()));
            }
            return b.append('}').toString();
        }
        throw new IllegalArgumentException("no JSON for " + v.getClass());
    }
}
