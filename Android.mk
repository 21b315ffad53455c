# tarnd for an API level 23 (Android 6.0) tree, which reads only Android.mk files. A tree with Soong
# reads Android.bp as well and would see each module twice: there, delete this file.
#
# The daemon is written against the platform's own libutils, libbinder and liblog, and against the
# device's closed libzel, which the device tree must provide as a shared library module that also
# exports the directory holding <zel/zel.h>.

LOCAL_PATH := $(call my-dir)

# -std=c++17 needs a compiler and a libc++ newer than the ones that came with API 23: see
# docs/android.md before building.
tarnd_cflags := -Wall -Wextra -Werror
tarnd_cppflags := -std=c++17

# The libraries that the daemon's code is written against. A static library passes none of them on
# in this build system, so each binary that links the core names them too.
tarnd_core_shared_libs := libutils libbinder liblog libzel

# The daemon's sources without its process entry, the same as TARND_DAEMON_SOURCES of
# CMakeLists.txt: built once, linked by the daemon and by the checker, which runs the daemon's own
# parser.
include $(CLEAR_VARS)
LOCAL_MODULE := libtarnd_core
LOCAL_MODULE_TAGS := optional
# A vendor module like the binaries that link it; trees that check the partition of a vendor
# binary's libraries accept no other.
LOCAL_PROPRIETARY_MODULE := true
LOCAL_SRC_FILES := \
    base/Pause.cpp \
    base/ShellQuote.cpp \
    config/ConfigFile.cpp \
    config/ConfigParser.cpp \
    config/Records.cpp \
    config/StatusReport.cpp \
    detectors/KeywordMatcher.cpp \
    detectors/KeywordMatcherAutomaton.cpp \
    detectors/KeywordMatcherHeads.cpp \
    detectors/KeywordMatcherPortable.cpp \
    detectors/KeywordMatcherSsse3.cpp \
    detectors/KmsgDetectThread.cpp \
    detectors/KmsgPosition.cpp \
    detectors/LogcatDetectThread.cpp \
    detectors/SendMatchedEvents.cpp \
    events/ChannelReader.cpp \
    events/DumpDirName.cpp \
    events/EventDump.cpp \
    events/HandlerCommands.cpp \
    events/MonitorThread.cpp \
    events/UeventParser.cpp \
    housekeeping/DirSize.cpp \
    housekeeping/GarbageCollector.cpp \
    housekeeping/LogGCThread.cpp \
    service/ITarnDebugService.cpp \
    service/ServiceBinder.cpp \
    service/ServiceStatus.cpp \
    service/StatusDump.cpp \
    service/CommandRunner.cpp \
    service/TarnDebugService.cpp \
    service/Worker.cpp
# Sources include each other as "service/TarnDebugService.h" and so on.
LOCAL_C_INCLUDES := $(LOCAL_PATH)
LOCAL_SHARED_LIBRARIES := $(tarnd_core_shared_libs)
LOCAL_CFLAGS := $(tarnd_cflags)
LOCAL_CPPFLAGS := $(tarnd_cppflags)
include $(BUILD_STATIC_LIBRARY)

include $(CLEAR_VARS)
LOCAL_MODULE := tarnd
LOCAL_MODULE_TAGS := optional
# A proprietary module goes to $(TARGET_OUT_VENDOR_EXECUTABLES), that is /system/vendor/bin on a
# device without its own vendor partition.
LOCAL_PROPRIETARY_MODULE := true
LOCAL_SRC_FILES := service/main.cpp
LOCAL_C_INCLUDES := $(LOCAL_PATH)
LOCAL_STATIC_LIBRARIES := libtarnd_core
LOCAL_SHARED_LIBRARIES := $(tarnd_core_shared_libs)
LOCAL_CFLAGS := $(tarnd_cflags)
LOCAL_CPPFLAGS := $(tarnd_cppflags)
# Read from Android 7.0 on, which installs the service next to the binary; the init of API 23
# ignores it and needs tarnd.rc imported by hand (docs/android.md).
LOCAL_INIT_RC := tarnd.rc
include $(BUILD_EXECUTABLE)

# Test tool: sends a uevent carrying TARND_EVENT=<value>. List it only in debug products.
include $(CLEAR_VARS)
LOCAL_MODULE := tarnd-trigger
LOCAL_MODULE_TAGS := optional
LOCAL_PROPRIETARY_MODULE := true
LOCAL_SRC_FILES := \
    tools/ServiceClient.cpp \
    tools/tarnd-trigger.cpp \
    tools/UeventMessage.cpp
LOCAL_C_INCLUDES := $(LOCAL_PATH)
# libbinder and the interface's client side for --send.
LOCAL_STATIC_LIBRARIES := libtarnd_core
LOCAL_SHARED_LIBRARIES := $(tarnd_core_shared_libs)
LOCAL_CFLAGS := $(tarnd_cflags)
LOCAL_CPPFLAGS := $(tarnd_cppflags)
include $(BUILD_EXECUTABLE)

# Configuration checker: reads a configuration with the daemon's own parser and reports its quiet
# traps. It links the daemon's code but starts nothing of it and runs no command.
include $(CLEAR_VARS)
LOCAL_MODULE := tarnd-check
LOCAL_MODULE_TAGS := optional
LOCAL_PROPRIETARY_MODULE := true
LOCAL_SRC_FILES := \
    tools/ConfigCheck.cpp \
    tools/tarnd-check.cpp
LOCAL_C_INCLUDES := $(LOCAL_PATH)
LOCAL_STATIC_LIBRARIES := libtarnd_core
# libdl: the tool looks up liblog's logger hook, which older releases lack, at run time.
LOCAL_SHARED_LIBRARIES := $(tarnd_core_shared_libs) libdl
LOCAL_CFLAGS := $(tarnd_cflags)
LOCAL_CPPFLAGS := $(tarnd_cppflags)
include $(BUILD_EXECUTABLE)

tarnd_cflags :=
tarnd_cppflags :=
tarnd_core_shared_libs :=
