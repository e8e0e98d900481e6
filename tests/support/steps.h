// Scripted instrument steps, written short: step(Kind::silent),
// step(Kind::late, 4300), raw("00 00 00 00 00 07 01 04 04 00 00 42 C8").
#pragma once

#include <string>

#include "bytes.h"
#include "sim/simulator.h"

namespace marvok::test {

using Kind = sim::Step::Kind;

inline sim::Step step(Kind kind, int ms = 0)
{
    sim::Step s;
    s.kind = kind;
    s.ms = ms;
    return s;
}

inline sim::Step raw(const std::string& frame)
{
    sim::Step s;
    s.kind = Kind::raw;
    s.bytes = hex(frame);
    return s;
}

}  // namespace marvok::test
