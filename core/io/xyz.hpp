// XYZ text: one point per line, three coordinates, nothing else. The reader is forgiving
// (unusable lines are skipped, numbers are read by the lenient parse); the writer emits the
// fixed ten-decimal form.
#pragma once
#include <span>
#include <string>
#include <string_view>

#include "core/storage.hpp"
#include "core/types.hpp"

namespace nubiro::io::xyz {

// Never fails. Bytes that are not ASCII never form part of a number, so invalid UTF-8 reads
// exactly as its replacement characters would.
Storage<Vector3d> read(std::string_view text);

std::string write(std::span<const Vector3d> points);

}  // namespace nubiro::io::xyz
