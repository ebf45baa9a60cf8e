#pragma once
// The finished model is checked by the ONNX project's own library (its checker and strict
// shape and type inference) before it is written.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "converter/node_origins.h"
#include "proto/onnx.h"

namespace kestro {

// The highest opset of the default domain the library knows.
int64_t onnx_library_max_opset();

// Fails with one line naming the library's reason, and the operator of the program whose
// node it names, when the library refuses `model`. The check runs in a child process, on a
// copy of the model whose weights (the initializers named in `weight_names`, sorted, and
// every large one) are graph inputs of the same type and dims, with each node named after
// the operator that made it; each region's graph is inferred on its own. Only the library's
// own refusal refuses: a check that crashes, runs out of memory or CPU time, or fails in
// kestro's own code around the library is tried again without data propagation, then with
// the checker alone; when none gives a verdict, when the check cannot be started (no
// descriptor for its pipe, no process), or when it is still running at the deadline (by
// default onnx_check_deadline), the model passes and a warning says why. Above the library's
// opset the model is not checked (a debug record says so).
void refuse_unless_onnx_accepts(const proto::ModelProto& model, const NodeOrigins& origins,
                                const std::vector<std::string>& weight_names,
                                std::optional<std::chrono::milliseconds> deadline = std::nullopt);

// How long the check of `model` may take: a minute and a millisecond per node.
std::chrono::milliseconds onnx_check_deadline(const proto::ModelProto& model);

// For tests: when set, called in the checker's child process before each attempt (0 the
// whole check, 1 without data propagation, 2 the checker alone), so that a test can make the
// child fail as the system would (stop it, limit its memory).
extern void (*onnx_check_child_hook)(int attempt);

// The copy the library checks (see above); the nodes of `model` are unnamed.
proto::ModelProto model_for_onnx_check(const proto::ModelProto& model, const NodeOrigins& origins,
                                       const std::vector<std::string>& weight_names);

// The one-line refusal for the library's message: the node's ONNX operator and the program's
// operator it is named after, when the message names one, then the reason, with line
// breaks and runs of blanks made one space, what a terminal acts on escaped and a very long
// text cut.
std::string describe_onnx_refusal(const std::string& library_text);

}  // namespace kestro
