# JUCE's module code is compiled once, into juce_modules, which every target links.
add_library(juce_modules STATIC)

target_link_libraries(juce_modules
    PRIVATE
        juce::juce_core
        juce::juce_events
        juce::juce_data_structures
        juce::juce_audio_basics
        juce::juce_audio_devices)

# The device library and the simulator need no graphics; a build of them alone leaves the
# two largest modules out.
if(NOT TARVO_DEVICE_ONLY)
    target_link_libraries(juce_modules PRIVATE juce::juce_graphics juce::juce_gui_basics)
endif()

target_link_libraries(juce_modules
    PUBLIC
        juce::juce_recommended_config_flags
        juce::pkgconfig_JUCE_IMG_LINUX_DEPS)

target_compile_definitions(juce_modules
    PUBLIC
        JUCE_USE_CURL=0
        JUCE_WEB_BROWSER=0
        JUCE_MODAL_LOOPS_PERMITTED=1
        JUCE_STANDALONE_APPLICATION=1
        JUCE_DISPLAY_SPLASH_SCREEN=0
        JUCE_REPORT_APP_USAGE=0
        JUCE_SILENCE_XCODE_15_LINKER_WARNING=1)

set_target_properties(juce_modules PROPERTIES POSITION_INDEPENDENT_CODE ON)

# Consumers see the modules' headers and definitions, but as system headers so that
# the project's -Werror does not apply to them.
target_compile_definitions(juce_modules
    INTERFACE $<TARGET_PROPERTY:juce_modules,COMPILE_DEFINITIONS>)
target_include_directories(juce_modules SYSTEM
    INTERFACE $<TARGET_PROPERTY:juce_modules,INCLUDE_DIRECTORIES>)
