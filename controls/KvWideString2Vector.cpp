#include "controls/KvWideString2Vector.h"
