// Which slots a library loaded under a name is asked for: those of class both always, those of
// class common or remote only under exactly that name (the loader's rule).
#pragma once

#include <string>

#include "loader/entry_table.gen.h"

namespace tvx::programs {

inline bool applies(tvx::Availability a, const std::string& name) {
    return a == tvx::Availability::Both || (a == tvx::Availability::Common && name == "common") ||
           (a == tvx::Availability::Remote && name == "remote");
}

}  // namespace tvx::programs
