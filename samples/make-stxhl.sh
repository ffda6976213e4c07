#!/usr/bin/env bash
# Writes stxhl.cap: a short raw capture of STX_HL frames as a meter might
# send them (STX, length high, length low, text, ETX, block check), with a
# little line noise between two of them.
set -euo pipefail
cd "$(dirname "$0")"
frame() {  # frame TEXT -> STX H L TEXT ETX BCC, BCC = XOR of the text and ETX
  local text=$1 len=$(( ${#1} + 2 )) bcc=3 i
  for (( i = 0; i < ${#text}; i++ )); do
    bcc=$(( bcc ^ $(printf '%d' "'${text:i:1}") ))
  done
  printf "\\x02\\x$(printf %02x $((len >> 8)))\\x$(printf %02x $((len & 255)))%s\\x03\\x$(printf %02x $bcc)" "$text"
}
{
  frame "ID=TALMO-DEMO"
  frame "T=21.5C RH=48%"
  frame "T=21.6C RH=47%"
  printf '\xff\x00\x7f'          # noise on the line
  frame "ALARM:DOOR OPEN"
  frame "T=21.6C RH=47%"
  frame "BYE"
} > stxhl.cap
