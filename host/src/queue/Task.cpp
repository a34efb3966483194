#include "kest/Task.h"

const int Task::HIGHEST = 100;
const int Task::NORMAL = 0;
