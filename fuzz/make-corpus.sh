#!/usr/bin/env bash
# Writes the seed inputs of fuzz/corpus/ (layout: see frame_fuzzer.cpp). Run it again after
# changing the input layout.
set -euo pipefail
cd "$(dirname "$0")/corpus"

bytes() { for byte in "$@"; do printf "\\x$byte"; done; }
le24() { bytes "$(printf %02x $(($1 & 255)))" "$(printf %02x $(($1 >> 8 & 255)))" \
  "$(printf %02x $(($1 >> 16 & 255)))"; }
# image of $1 bytes, content seed $2
header() { local n=$(($1 - 1)); le24 "$n" | head -c 2; bytes "$2"; }
# control bytes: read result selector (10: 16 bytes, 11: 72), write fault, fault position,
# filler of payload bytes 8-63
control() { bytes "$@"; }
announce() { bytes 00 79 a0 91 04 00 00 00 01 02 03 04 00 00 00 00; }
# block request: offset, length, bootloader version, length byte, flags byte
request() { bytes 00 79 88 93 "${4:-08}" "${5:-00}" 00 00; le24 "$1"; bytes "${3:-00}"; le24 "$2"; bytes 00; }
plain() { control 10 00 00 00; }

{ header 150 01; plain; announce
  plain; request 0 56; plain; request 56 56; plain; request 112 56; } >full-flash
{ header 1000 02; plain; announce; plain; request 100 16777215; } >request-to-the-end
{ header 300 03; plain; request 10 20 00 40; control 0d 00 00 00; request 10 20
  control 08 00 00 00; request 10 20; control 12 00 00 00; request 10 20
  control 11 00 00 00; request 10 20; plain; request 10 20 00 04; } >cut-records
{ header 200 04; control 10 d0 00 00; announce; control 10 d1 01 00; announce
  plain; announce; plain; announce; } >failed-activation
# writes that make no progress: for a while (then the frame goes out), and for good
{ header 300 08; plain; announce; control 10 f2 01 00; request 0 112; control 10 f8 00 00
  request 112 56; } >stalled-sends
{ header 500 05; plain; announce; control 10 a7 01 00; request 56 112
  control 10 b3 00 00; request 168 56; control 10 c0 00 00; request 224 56; } >busy-queue
# CAN FD records with the switch, with and without FDF; a classic record whose pad byte holds 0x05
{ header 400 06; control 11 00 00 41; request 0 112 00 40 05; control 11 00 00 00
  request 112 56 00 08 01; control 10 00 00 00; request 168 112 00 08 05; } >fd-records
{ header 100 07; plain; request 10 20 01; plain; request 100 20; plain; request 16777215 56
  plain; bytes 00 79 9f 91 01 00 00 00 11 00 00 00 00 00 00 00
  plain; bytes 23 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00; plain; request 10 0; } >ignored
