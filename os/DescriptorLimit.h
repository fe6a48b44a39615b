#pragma once

// Raises this process's soft limit on open file descriptors to its hard limit and returns
// the limit in force afterwards (-1 when it cannot be read).
long RaiseDescriptorLimit();
