// Everything a test or tool needs to drive the stand-in kernel.
#pragma once
#include "standin/fault.h"
#include "standin/lockcheck.h"
#include "standin/log.h"
#include "standin/memory.h"
#include "standin/module.h"
#include "standin/task.h"
#include "standin/user.h"
