// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Locale;

/** The files a streaming run leaves in {@code --out DIR}, and the lines that name them. */
final class SampleFiles {
    static final String CSV_NAME = "acquisition.csv";
    static final String PNG_NAME = "acquisition.png";

    private SampleFiles() {
    }

    static void write(Acquisition acq, Input[] inputs, Options opt, PrintStream out) throws IOException {
        Files.createDirectories(opt.out);
        Path csv = opt.out.resolve(CSV_NAME).toAbsolutePath().normalize();
        Path png = opt.out.resolve(PNG_NAME).toAbsolutePath().normalize();
        CsvFile.write(acq, inputs, opt.trigger != null, csv);
        Plot.write(acq, inputs, opt, png);
        out.println();
        out.printf(Locale.ROOT, "Samples: %s (%d row%s: time_s", csv, acq.rows(), acq.rows() == 1 ? "" : "s");
        for (Input in : inputs) {
            out.print(", " + in.column());
        }
        if (opt.trigger != null) {
            out.print(", trigger");
        }
        out.println(")");
        out.println("Plot:    " + png);
        out.flush();
    }
}
