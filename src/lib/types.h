// The module's three classes.
#pragma once

#include "lib/pyref.h"

namespace corvane::py {

// Type objects, created once per process by the first initialisation.
extern PyTypeObject* g_task_type;
extern PyTypeObject* g_ant_colony_type;
extern PyTypeObject* g_probabilistic_type;

// Class definitions: name, constructor text signature, slots.
struct ClassDefinition {
  const char* name;
  const char* text_signature;
  newfunc construct;
  destructor deallocate;
  PyMethodDef* methods;
  std::size_t basic_size;
  PyTypeObject** type_slot;
};

const ClassDefinition& task_class();
const ClassDefinition& ant_colony_class();
const ClassDefinition& probabilistic_class();

}  // namespace corvane::py
