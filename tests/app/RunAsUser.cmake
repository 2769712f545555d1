# Runs one case (CASE) of a build of the updater as a user would, without a display, and
# checks its exit status, its standard error, how many progress lines it printed, and its
# other lines: in the order given, the first one first and the last one last, and none
# matching the case's forbidden pattern.
unset(ENV{DISPLAY})
set(program ${SIM})
if(CASE MATCHES "midi_service|product")
    set(program ${PRODUCT})
endif()
set(status_expected 1)
set(progress_expected 0)

if(CASE STREQUAL "process")
    set(args --path ${IMAGE})
    set(status_expected 0)
    set(progress_expected 2769)
    set(lines "Found MIDI IN device:Midi Through Port-0" "1 device(s) found" "Get device SN:'TV40-2026-000731'"
        "Set FW Status as 0" "FW Version: 1.2.3.30" "Updating: 0%" "Updating: 1%" "Updating: 100%" "Firmware upgraded!")
elseif(CASE MATCHES "^(empty|fifo)_image$")
    # Refused before the amplifier hears of the update: no firmware status, no description.
    file(REMOVE ${WORK_DIR}/${CASE}.bin)
    if(CASE STREQUAL "empty_image")
        file(WRITE ${WORK_DIR}/${CASE}.bin "")
    else()
        execute_process(COMMAND mkfifo ${WORK_DIR}/${CASE}.bin COMMAND_ERROR_IS_FATAL ANY)
    endif()
    set(args --path ${CASE}.bin)
    set(lines "Found MIDI IN device:Midi Through Port-0" "1 device(s) found" "Get device SN:'TV40-2026-000731'"
        "Firmware upgrade failed! Error code is 15")
    set(forbidden "Get FW|Set FW Status|Got FW Info")
elseif(CASE STREQUAL "without_midi_service")
    set(args --path firmware.bin)
    set(lines "No device found")
elseif(CASE MATCHES "^no_display")
    set(err_expected "[^\n]*--path FILE[^\n]*\n")
endif()

execute_process(COMMAND ${program} ${args} WORKING_DIRECTORY ${WORK_DIR}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 240)

if(NOT status EQUAL status_expected OR NOT err MATCHES "^${err_expected}$")
    message(FATAL_ERROR "exit status ${status}, expected ${status_expected}\n${out}\nstandard error:\n${err}")
endif()
if(forbidden AND out MATCHES "${forbidden}")
    message(FATAL_ERROR "printed a line matching '${forbidden}'\n${out}")
endif()

string(REGEX REPLACE "\n$" "" printed "${out}")
string(REPLACE "\n" ";" printed "${printed}")
set(position 0)
foreach(line IN LISTS lines)
    list(SUBLIST printed ${position} -1 rest)
    list(FIND rest "${line}" found)
    if(found EQUAL -1 OR (found GREATER 0 AND position EQUAL 0))
        message(FATAL_ERROR "missing, out of order or not first: '${line}'\n${out}")
    endif()
    math(EXPR position "${position} + ${found} + 1")
endforeach()

list(LENGTH printed count)
list(FILTER printed INCLUDE REGEX "^Updating: ")
list(LENGTH printed progress)
if(NOT position EQUAL count OR NOT progress EQUAL progress_expected)
    message(FATAL_ERROR "more lines after the last one expected, or ${progress} progress lines\n${out}")
endif()
