# What each plugin's version resource says of it, and the configuring of
# cmake/version.rc.in, shared by the desktop DLLs and the CE ARM build, and
# the rule that adds it to a desktop DLL.
set(NAVPLUGINS_PRODUCT_wendmark "WENDMARK")
set(NAVPLUGINS_DESCRIPTION_wendmark "WENDMARK GPX track recorder plugin")
set(NAVPLUGINS_PRODUCT_orvane "ORVANE")
set(NAVPLUGINS_DESCRIPTION_orvane "ORVANE GPS provider plugin")

# Writes OUT, the resource script of plugin TARGET: the project's version,
# the maker, the plugin's product and description, its file name, FILEOS.
function(navplugins_version_rc target fileos out)
    set(RC_NAME ${target})
    set(RC_PRODUCT "${NAVPLUGINS_PRODUCT_${target}}")
    set(RC_DESCRIPTION "${NAVPLUGINS_DESCRIPTION_${target}}")
    set(RC_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
    set(RC_FILEOS ${fileos})
    configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${out} @ONLY)
endfunction()

# Gives the Windows DLL TARGET its version resource. FILEOS is desktop
# Windows unless NAVPLUGINS_RC_FILEOS says otherwise (0x4L, plain 32-bit
# Windows, suits Windows CE).
function(navplugins_version_resource target)
    if(NOT WIN32 OR NOT CMAKE_RC_COMPILER)
        return()
    endif()
    if(NAVPLUGINS_RC_FILEOS)
        set(fileos ${NAVPLUGINS_RC_FILEOS})
    else()
        set(fileos 0x40004L)
    endif()
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    navplugins_version_rc(${target} ${fileos} ${rc})
    target_sources(${target} PRIVATE ${rc})
endfunction()
