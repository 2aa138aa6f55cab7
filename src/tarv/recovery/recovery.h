// Round recovery after a takeout or disturbance, and realignment of moved cameras.
// Round::recover is declared with the Round.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"
#include "tarv/recovery/camera_movement.h"
#include "tarv/recovery/camera_realignment.h"
#include "tarv/recovery/reference_realignment.h"
