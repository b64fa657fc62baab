// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.demo;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Paths;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The demo's command line, without a JVM of its own or a device. */
class OptionsTest {
    @Test
    void noArgumentsStreamFourChannelsOfTheEmulatedBoardForThreeSeconds() throws Exception {
        Options o = Options.parse(new String[0]);
        assertEquals(Options.EMULATED_MULTI, o.device);
        assertTrue(o.emulated());
        assertEquals(4, o.channels);
        assertEquals(3000, o.scans());
        assertEquals(Paths.get("demo-output"), o.out);
        assertTrue(o.outputs);
        assertFalse(o.help);
        assertNull(o.hdf5, "no log unless asked for");
    }

    @Test
    void valuesComeSeparateOrAfterAnEqualsSign() throws Exception {
        Options o = Options.parse(new String[] {"--device=/dev/comedi0", "--channels", "16", "--rate=2500.5",
            "--duration", " 2 ", "--out=/tmp/run=1", "--no-outputs", "--hdf5", "/tmp/run.h5"});
        assertEquals("/dev/comedi0", o.device);
        assertFalse(o.emulated());
        assertEquals(16, o.channels);
        assertEquals(2500.5, o.rate);
        assertEquals(5001, o.scans());
        assertEquals(Paths.get("/tmp/run=1"), o.out);
        assertFalse(o.outputs);
        assertEquals(Paths.get("/tmp/run.h5"), o.hdf5);
        assertTrue(Options.parse(new String[] {"-h"}).help);
        o = Options.parse(new String[] {"--trigger=1:-0.5:falling", "--pretrigger", "20", "--record=50"});
        assertEquals("falling through -0.5 at position 1", o.trigger.toString());
        assertEquals(20, o.pretrigger);
        assertEquals(50, o.record);
        assertEquals("software", Options.parse(new String[] {"--start", "software"}).start.toString());
        assertEquals("falling edge of line 3", Options.parse(new String[] {"--start=3:falling"}).start.toString());
        o = Options.parse(new String[] {"--device", "/dev/comedi-emu/softcal", "--calibration=/tmp/board.cal"});
        assertTrue(o.emulated(), "softcal carries the emulated signals");
        assertEquals(Paths.get("/tmp/board.cal"), o.calibration);
        assertEquals("--trigger needs POSITION:VOLTS[:rising|falling], not '2'",
                assertThrows(UsageException.class, () -> Options.parse(new String[] {"--trigger", "2"})).getMessage());
    }

    @ParameterizedTest(name = "{0}")
    @CsvSource(delimiter = '|', value = {
        "--rate fast                          | --rate needs a number, not 'fast'",
        "--channels two                       | --channels needs a whole number, not 'two'",
        "--channels 17                        | --channels must be 1 to 16, not 17",
        "--channels=0                         | --channels must be 1 to 16, not 0",
        "--duration                           | --duration needs a value",
        "--duration -1                        | --duration must be a number above 0, not '-1'",
        "--rate NaN                           | --rate must be a number above 0, not 'NaN'",
        "--rate Infinity                      | --rate must be a number above 0, not 'Infinity'",
        "--device=                            | --device needs a path",
        "--out=                               | --out needs a folder",
        "--hdf5=                              | --hdf5 needs a file name",
        "--calibration=                       | --calibration needs a file name",
        "--trigger 2:x                        | --trigger needs a level in volts, not 'x'",
        "--trigger 2:0:up                     | --trigger slope is rising or falling, not 'up'",
        "--trigger 4:0                        | --trigger position 4 is not one of the 4 streamed (0 to 3)",
        "--trigger 0:0 --pretrigger 100       | --record 100 leaves no scan after the 100 pretrigger ones",
        "--pretrigger -1                      | --pretrigger must be 0 or more, not -1",
        "--start later                        | --start takes software, LINE:rising or LINE:falling, not 'later'",
        "--start 0:up                         | --start takes software, LINE:rising or LINE:falling, not '0:up'",
        "--start x:rising                     | --start line needs a whole number, not 'x'",
        "--start -1:rising                    | --start line must be 0 to 65535, not -1",
        "--start software --trigger 0:0       | --start arms the plain streaming run: it does not combine with --hdf5 or --trigger",
        "--frobnicate                         | unknown option --frobnicate",
        "-x                                   | unknown option -x",
        "stray                                | unexpected argument stray",
        "--no-outputs=false                   | --no-outputs takes no value, not 'false'",
        "--list=no                            | --list takes no value, not 'no'",
        "--help=                              | --help takes no value, not ''",
        "--rate 0.1 --duration 1              | --rate 0.1 for --duration 1 s gives no scan at all",
        "--rate 1e6 --duration 10 --channels 16 | --rate x --duration x --channels asks for 1.6E8 samples; the demo keeps at most 20000000 in memory",
    })
    void aBadCommandLineIsOneLineNamingTheOption(String line, String message) {
        UsageException e = assertThrows(UsageException.class, () -> Options.parse(line.split(" ")));
        assertEquals(message, e.getMessage());
    }
}
