#include "python/shared/callable.h"

#include "python/shared/state.h"

namespace vonk {

PyMethodDef* method_table(std::span<const Callable> rows) {
  ModuleState& state = module_state();
  std::vector<PyMethodDef>& table = state.method_tables.emplace_back();
  table.reserve(rows.size() + 1);
  for (const Callable& row : rows) {
    const std::string& doc = state.docstrings.emplace_back(
        docstring(*row.signature, row.summary));
    table.push_back({row.signature->name, row.function, row.flags,
                     doc.c_str()});
  }
  table.push_back({nullptr, nullptr, 0, nullptr});
  return table.data();
}

}  // namespace vonk
