// The storage library's exported classes.
#pragma once

#include "device/dev_registry.h"
#include "device/disk_dev.h"
#include "disklayout/disk_table.h"
#include "serialfile/serial_file.h"
#include "serialfile/serial_file_base.h"
#include "serialfile/serial_file_com.h"
#include "serialfile/serial_file_factory.h"
#include "serialfile/serial_file_raw.h"
#include "replay/multi_ch_data.h"
#include "replay/telnet_replay.h"
