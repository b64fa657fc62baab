// SPDX-License-Identifier: LGPL-2.1-or-later
package org.vorn.bench;

import java.util.HashMap;
import java.util.Map;
import java.util.Set;

/**
 * A benchmark's command line: {@code --name value} pairs, each name one that the main knows (a
 * later pair wins); any other word is refused.
 */
final class Options {
    private final Map<String, String> values = new HashMap<>();

    Options(String[] args, String... names) {
        Set<String> known = Set.of(names);
        for (int i = 0; i < args.length; i++) {
            if (!known.contains(args[i])) {
                throw new IllegalArgumentException("unknown option " + args[i]);
            }
            values.put(args[i], args[++i]);
        }
    }

    String text(String name, String otherwise) {
        return values.getOrDefault(name, otherwise);
    }

    int integer(String name, int otherwise) {
        String v = values.get(name);
        return v == null ? otherwise : Integer.parseInt(v);
    }

    long whole(String name, long otherwise) {
        String v = values.get(name);
        return v == null ? otherwise : Long.parseLong(v);
    }

    double number(String name, double otherwise) {
        String v = values.get(name);
        return v == null ? otherwise : Double.parseDouble(v);
    }
}
