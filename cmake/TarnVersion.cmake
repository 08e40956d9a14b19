# The build's one version number reaches every Windows file through a generated resource script:
# the executable's and the DLL's resources include "TarnVersionInfo.rc", their version resource.
# Windows Installer compares only the first three fields of a product version, so the version has
# three and the files' fourth field is 0.

# The project's version (project(... VERSION ...)), unless the package command sets another
# (scripts/make-msi --version): a site ships new firmware as a package with a higher version
# without editing the project.
set(TARN_VERSION "" CACHE STRING
    "The version of the files and the package, major.minor.patch; empty for the project's")
if(TARN_VERSION)
    set(TARN_PRODUCT_VERSION ${TARN_VERSION})
else()
    set(TARN_PRODUCT_VERSION ${PROJECT_VERSION})
endif()

# Gives TARGET, whose resource script RC includes it, a TarnVersionInfo.rc for VERSION
# (major.minor.patch). The tests build a second copy of the packaged files with a higher version,
# for the package's major upgrade.
function(tarn_version_resource target version rc)
    if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
        message(FATAL_ERROR "version \"${version}\" is not major.minor.patch")
    endif()
    # The limits of a product version.
    if(CMAKE_MATCH_1 GREATER 255 OR CMAKE_MATCH_2 GREATER 255 OR CMAKE_MATCH_3 GREATER 65535)
        message(FATAL_ERROR "version \"${version}\": at most 255.255.65535")
    endif()
    set(TARN_VERSION_MAJOR ${CMAKE_MATCH_1})
    set(TARN_VERSION_MINOR ${CMAKE_MATCH_2})
    set(TARN_VERSION_PATCH ${CMAKE_MATCH_3})
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}.version)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/TarnVersionInfo.rc.in ${dir}/TarnVersionInfo.rc @ONLY)
    target_include_directories(${target} PRIVATE ${dir})
    target_sources(${target} PRIVATE ${rc})
    set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS ${dir}/TarnVersionInfo.rc)
endfunction()
