// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.hdf5;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.vorn.testsupport.H5py;

/**
 * A JVM that logs is killed with SIGKILL in the middle of its run; h5py must open what it left
 * and find every scan that the child had reported flushed, each with its exact codes.
 */
class KilledLogTest {
    @TempDir
    Path dir;

    @Test
    void aFileLeftByAKilledJvmHoldsEveryFlushedScan() throws Exception {
        Path file = dir.resolve("killed.h5");
        List<String> command = new ArrayList<>();
        command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
        command.add("-Djava.library.path=" + System.getProperty("java.library.path"));
        command.add("-cp");
        command.add(System.getProperty("java.class.path"));
        command.add(KilledLogChild.class.getName());
        command.add(file.toString());
        // The child inherits LD_PRELOAD: it runs on the same emulated board as this JVM would.
        Process child = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        long flushed = 0;
        int flushes = 0;
        try (BufferedReader out = new BufferedReader(new InputStreamReader(child.getInputStream(),
                StandardCharsets.UTF_8))) {
            String line;
            // Kill it after a few flushes, at no particular moment of its writing.
            while (flushes < 6 && (line = out.readLine()) != null) {
                if (line.startsWith("flushed ")) {
                    flushed = Long.parseLong(line.substring(8));
                    flushes++;
                }
            }
            child.destroyForcibly(); // SIGKILL on Linux
            assertTrue(child.waitFor(30, TimeUnit.SECONDS), "the child did not die");
        }
        assertTrue(flushes == 6 && flushed > 0, "the child reported " + flushes + " flushes");
        Map<String, Object> expect = new LinkedHashMap<>();
        expect.put("file", file);
        expect.put("dtype", "uint16");
        expect.put("positions", KilledLogChild.POSITIONS);
        expect.put("min_rows", flushed);
        expect.put("counter", 65536);
        String ok = H5py.check(dir, expect);
        assertTrue(ok.startsWith("ok: "), ok);

        // A reader that does not use SWMR mode opens it once h5clear has cleared its being-written mark.
        expect.put("swmr", false);
        assertTrue(assertThrows(AssertionError.class, () -> H5py.check(dir, expect)).getMessage()
                .contains("h5clear"), "HDF5 refuses the marked file and names the tool");
        ProcessBuilder h5clear = new ProcessBuilder("h5clear", "-s", file.toString()).redirectErrorStream(true);
        h5clear.environment().remove("LD_PRELOAD"); // a plain user's tool: no emulated board, no sanitizer
        Process clear = h5clear.start();
        String said = new String(clear.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(clear.waitFor(60, TimeUnit.SECONDS), "h5clear did not end");
        assertEquals(0, clear.exitValue(), "h5clear -s (package hdf5-tools): " + said);
        H5py.check(dir, expect);
    }
}
