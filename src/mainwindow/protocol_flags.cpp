#include "mainwindow/protocol_flags.h"

namespace talmo {

TProtocolFlags::TBytes TProtocolFlags::Pack() const {
  return {First, Last, Bcc, Time, Convert, Hex, STXHL, PROD2, Manch};
}

TProtocolFlags TProtocolFlags::Unpack(const TBytes& b) {
  TProtocolFlags f;
  f.First = b[0];
  f.Last = b[1];
  f.Bcc = b[2];
  f.Time = b[3];
  f.Convert = b[4];
  f.Hex = b[5];
  f.STXHL = b[6];
  f.PROD2 = b[7];
  f.Manch = b[8];
  return f;
}

}  // namespace talmo
