#include "engine/file_step.h"

#include <exception>

#include "engine/algorithm_unit.h"

namespace {

int failed_result(TFileOperation operation) {
  switch (operation) {
    case TFileOperation::check: return check_failed;
    case TFileOperation::strip: return strip_kept;
    case TFileOperation::fix: break;
  }
  return fix_not_repaired;
}

int run_operation(TFileOperation operation, const std::string& path, bool in_place,
                  const std::string& output_folder, const THeaderRebuild& rebuild, std::optional<std::string>& output) {
  switch (operation) {
    case TFileOperation::check: return check_file(path);
    case TFileOperation::strip: return strip_index(path);
    case TFileOperation::fix: break;
  }
  return fix_file(path, in_place ? 0 : 1, output, output_folder, rebuild);
}

bool succeeded(TFileOperation operation, int result) {
  switch (operation) {
    case TFileOperation::check: return result == check_healthy;
    case TFileOperation::strip: return result == strip_removed;
    case TFileOperation::fix: break;
  }
  return result == fix_repaired;
}

}  // namespace

TFileStep run_file_step(TFileOperation operation, const std::string& path, bool in_place,
                        const std::string& output_folder, const THeaderRebuild& rebuild) {
  std::optional<std::string> output;
  TFileStep step =
      run_step(operation, [&] { return run_operation(operation, path, in_place, output_folder, rebuild, output); });
  step.output = std::move(output);
  return step;
}

TFileStep run_step(TFileOperation operation, const std::function<int()>& work) {
  TFileStep step;
  try {
    step.result = work();
    step.succeeded = succeeded(operation, step.result);
  } catch (const std::exception& error) {
    step = {failed_result(operation), false, std::string(error.what()), std::nullopt};
  } catch (...) {
    step = {failed_result(operation), false, std::string(), std::nullopt};
  }
  return step;
}
