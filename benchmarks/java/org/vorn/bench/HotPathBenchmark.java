// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.bench;

import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.List;

import org.vorn.emu.EmulatedBoard;

/**
 * Every hot path of libvorn, called from Java through the public API with direct buffers, against
 * the same work written directly in C on comedilib (libvornbench), in one process on one emulated
 * board in INSTANT clock mode. {@link Rows} holds the rows, {@link Timing} the loop that times
 * them, {@link Table} what is printed.
 *
 * The malloc-family calls made by the benchmark thread during the timed repetitions are counted by
 * libvornbench's preloaded allocator front, for both sides.
 *
 * Options: --reps N (15), --warmup-ms N (1000), --rep-ms N (40), --only SUBSTRING.
 */
public final class HotPathBenchmark {
    private HotPathBenchmark() {
    }

    public static void main(String[] args) throws Exception {
        Options options = new Options(args, "--reps", "--warmup-ms", "--rep-ms", "--only");
        Timing timing = new Timing(options.integer("--reps", 15), options.whole("--warmup-ms", 1000),
                options.whole("--rep-ms", 40));
        Table table = new Table();
        Rows rows = new Rows(timing, table, options.text("--only", null));

        /* Links the counter's natives now: the JVM's first call of a native looks it up, which allocates. */
        AllocationCounter.reportAllocs(false);
        AllocationCounter.allocCount();
        EmulatedBoard.reset();
        if (EmulatedBoard.setClock(EmulatedBoard.CLOCK_INSTANT) != 0) {
            throw new IllegalStateException("the emulated board refused the INSTANT clock");
        }

        Table.printMachine(timing);
        long seen = AllocationCounter.selfCheckAllocs(1000);
        System.out.println("allocation counter self-check: " + seen + " of 1000 deliberate mallocs under a C loop seen");
        if (seen != 1000) {
            throw new IllegalStateException("the allocation counter does not see allocations; is libvornbench preloaded?");
        }

        ByteBuffer a = Rows.direct(64);
        ByteBuffer b = Rows.direct(64);
        rows.javaOnly("JNI crossing, no-op native (2 buffer args)", "call", calls -> {
            for (int i = 0; i < calls; i++) {
                BenchNatives.noop(a, b);
            }
        });
        rows.javaOnly("JNI crossing + 2 GetDirectBufferAddress", "call", calls -> {
            long sink = 0;
            for (int i = 0; i < calls; i++) {
                sink += BenchNatives.noopAddresses(a, b);
            }
            if (sink == 42) {
                System.out.print("");
            }
        });

        for (int n : new int[] {1, 8, 64}) {
            rows.sampling(n);
        }
        for (int n : new int[] {2, 16}) {
            rows.analogWrite(n);
        }
        for (int n : new int[] {1, 8}) {
            rows.portWrite(n);
        }
        for (String board : new String[] {EmulatedBoard.MULTI, EmulatedBoard.AI18}) {
            for (int bufSize : new int[] {256, 4096, 65536}) {
                rows.streaming(board, bufSize);
            }
        }

        List<String> conversion = new ArrayList<>();
        for (String board : new String[] {EmulatedBoard.MULTI, EmulatedBoard.AI18}) {
            if (!rows.skipped("conversion")) {
                conversion.add(rows.conversionAlone(board, 4096));
            }
        }

        List<String> calibration = new ArrayList<>();
        if (!rows.skipped("calibration")) {
            calibration.add(rows.calibratedAgainstLinear("streaming read", 8, 4096));
            calibration.add(rows.calibratedAgainstLinear("streaming read", 8, 65536));
            calibration.add(rows.calibratedAgainstLinear("sampling scan", 64, 0));
            calibration.add(rows.calibratedAgainstLinear("analog write", 16, 0));
            calibration.add(rows.conversionOnly(65536));
        }

        table.print();
        if (!conversion.isEmpty()) {
            System.out.println();
            System.out.println("Conversion alone: the C reference streaming loop (poll, buffer contents, read, convert),");
            System.out.println("once with comedi_to_phys per sample and once with libvorn's rawToPhys; ns per sample, median [min-max]:");
            conversion.forEach(System.out::println);
        }
        if (!calibration.isEmpty()) {
            System.out.println();
            System.out.println("Calibration: the same calls on the softcal board converting with the calibration file's");
            System.out.println("polynomials and with the linear map; ns per sample, median [min-max], calibrated/linear:");
            calibration.forEach(System.out::println);
        }
        if (EmulatedBoard.openCount() != 0) {
            throw new IllegalStateException(EmulatedBoard.openCount() + " emulated device files left open");
        }
    }
}
