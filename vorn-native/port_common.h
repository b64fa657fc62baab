// SPDX-License-Identifier: LGPL-2.1-or-later
/* The port list that the digital input and output devices share: port p of L lines is channels
 * p*L .. p*L+L-1 of the subdevice. */
#ifndef VORN_PORT_COMMON_H
#define VORN_PORT_COMMON_H

#include "device_common.h"

/* Channel numbers wrap in 32 bits, so the product is defined for any port: a negative port, or
 * one of 2^31 lines or more, lands far beyond the subdevice and fails the channel check. A first
 * line of 2^32 or more (or below -2^31) wraps round onto real lines: the Java devices refuse those
 * ports before they reach this. */
unsigned int portBase(jint port, jint linesPerPort);

/* The port numbers in `portBuf` (native-order 32-bit integers, one per 4 bytes of capacity) and
 * their count, or null with a ComediException pending when the buffer is not direct or holds more
 * ports than a handle does. */
const unsigned char *portListBytes(JNIEnv *env, jobject portBuf, jint *nPorts);

/* Stores the port list in `h` and checks that every line of every port is a channel of its
 * subdevice; with `direction` COMEDI_INPUT or COMEDI_OUTPUT also makes each line one (-1: leaves the
 * lines as they are). False with a ComediException pending at the first line that fails. */
bool setUpPortLines(JNIEnv *env, ComediHandle *h, const unsigned char *portBytes, jint nPorts, jint linesPerPort,
                    int direction);

/* Takes `h` down to nothing before a failed creation returns: the handle never reaches Java. */
jobject failCreation(ComediHandle *h);

#endif
