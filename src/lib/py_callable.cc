#include "lib/py_callable.h"

namespace vonk {

std::vector<PyMethodDef> method_table(std::span<const Callable> rows,
                                      std::deque<std::string>* docstrings) {
  std::vector<PyMethodDef> table;
  table.reserve(rows.size() + 1);
  for (const Callable& row : rows) {
    const std::string& doc =
        docstrings->emplace_back(docstring(*row.signature, row.summary));
    table.push_back({row.signature->name, row.function, row.flags,
                     doc.c_str()});
  }
  table.push_back({nullptr, nullptr, 0, nullptr});
  return table;
}

}  // namespace vonk
