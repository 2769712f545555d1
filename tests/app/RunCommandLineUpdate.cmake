# Runs the simulator build's command-line update the way a user would, with no display,
# and checks what it printed, that nothing went to standard error, and its exit status.
set(ENV{DISPLAY} "")
unset(ENV{DISPLAY})

execute_process(
    COMMAND ${PROGRAM} --path ${IMAGE}
    WORKING_DIRECTORY ${WORK_DIR}
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err
    RESULT_VARIABLE status
    TIMEOUT 240)

if(NOT status EQUAL 0)
    message(FATAL_ERROR "exit status ${status}\n${out}\n${err}")
endif()

if(NOT err STREQUAL "")
    message(FATAL_ERROR "unexpected output on standard error:\n${err}")
endif()

string(REPLACE "\n" ";" lines "${out}")

set(expected_in_order
    "Found MIDI IN device:Tarvo 40"
    "Start this MIDI input device"
    "This MIDI Out device is available"
    "1 device(s) found"
    "Get device SN:'TV40-2026-000731'"
    "Get FW SID: 0"
    "Get FW Status: 1"
    "Set FW Status as 0"
    "Will sleep for 0 ms"
    "Got FW Info:"
    "FW Version: 1.2.3.30"
    "Updating: 0%"
    "Updating: 1%"
    "Updating: 100%"
    "Firmware upgraded!")

set(position 0)
foreach(line IN LISTS expected_in_order)
    list(FIND lines "${line}" found)
    if(found LESS position)
        message(FATAL_ERROR "missing or out of order: '${line}'\n${out}")
    endif()
    set(position ${found})
endforeach()

list(FILTER lines INCLUDE REGEX "^Updating: ")
list(LENGTH lines progress_lines)
if(NOT progress_lines EQUAL 2769)
    message(FATAL_ERROR "expected 2769 progress lines, got ${progress_lines}")
endif()

list(GET lines -1 last)
if(NOT last STREQUAL "Updating: 100%")
    message(FATAL_ERROR "last progress line is '${last}'")
endif()
