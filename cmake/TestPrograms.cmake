# One test program per area on either target: its cases are listed when ctest
# runs (under Wine, the program itself must run to list them) and labelled
# with the area.
function(tarvik_discover_area_tests target area)
    gtest_discover_tests(${target}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        PROPERTIES TIMEOUT 240 LABELS ${area})
endfunction()
