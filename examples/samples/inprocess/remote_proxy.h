// Local stand-ins for operators that live on tvx-sample-server.
//
// The operator "remote_operator_instantiate" takes the operator's id on its server (pin 0) and data
// sources holding the server's address under the protocol name "grpc" (pin 4). Its output 0, read
// as an operator, is a local operator that forwards connections and runs to the server operator
// and brings its output fields back as local fields. The server is reached on first use, so a
// stand-in can be made even where the sample was built without gRPC: using it then fails with a
// message that says so.
#pragma once

#include "sample_framework.h"

namespace tvxsample::inprocess {

inline constexpr const char* kRemoteOperatorInstantiate = "remote_operator_instantiate";

// A new "remote_operator_instantiate" operator.
Operator* make_remote_operator_instantiate();

}  // namespace tvxsample::inprocess
