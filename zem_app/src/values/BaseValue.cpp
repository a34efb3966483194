#include "values/BaseValue.h"

BaseValue::~BaseValue() = default;
