# Warnings are set per target, so that third-party code built alongside (a
# fetched GoogleTest) keeps its own. CMAKE_COMPILE_WARNING_AS_ERROR makes
# them errors where a preset or CI asks for it.
function(quib_set_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4)
    else()
        target_compile_options(${target} PRIVATE
            -Wall -Wextra -Wpedantic
            -Wconversion -Wsign-conversion -Wshadow -Wold-style-cast -Wcast-qual
            -Wmissing-declarations -Wdouble-promotion
            -Wformat -Wformat-security -Wundef)
    endif()
endfunction()
