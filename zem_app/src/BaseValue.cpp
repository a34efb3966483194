#include "BaseValue.h"

BaseValue::~BaseValue() = default;
