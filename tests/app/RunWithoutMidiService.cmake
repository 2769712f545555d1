# The product on a machine without a MIDI service: one line, nothing on standard error,
# and a status that tells a script the update did not happen.
unset(ENV{DISPLAY})

execute_process(
    COMMAND ${PROGRAM} --path firmware.bin
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err
    RESULT_VARIABLE status
    TIMEOUT 60)

if(NOT out STREQUAL "No device found\n")
    message(FATAL_ERROR "unexpected output:\n${out}")
endif()

if(NOT err STREQUAL "")
    message(FATAL_ERROR "unexpected output on standard error:\n${err}")
endif()

if(NOT status EQUAL 1)
    message(FATAL_ERROR "exit status ${status}, expected 1")
endif()
