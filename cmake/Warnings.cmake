# Project code is held to zero warnings; JUCE's headers come in as system includes.
add_library(tarvo_warnings INTERFACE)
target_compile_options(tarvo_warnings INTERFACE -Wall -Wextra -Werror)
