# upgsim: the device program on the fakes, in a bubblewrap sandbox (host only).
# The sandbox helper is a library of its own: tests that need the device's fixed
# paths run themselves inside the same sandbox.
add_library(upgsim_sandbox STATIC ${CMAKE_CURRENT_LIST_DIR}/upgsim_sandbox.cpp)
target_include_directories(upgsim_sandbox PUBLIC ${PROJECT_SOURCE_DIR})

# The live window (--window): SDL2 on the PC's display.
find_package(SDL2 REQUIRED)

add_executable(upgsim ${CMAKE_CURRENT_LIST_DIR}/upgsim.cpp ${CMAKE_CURRENT_LIST_DIR}/upgsim_session.cpp
               ${CMAKE_CURRENT_LIST_DIR}/upgsim_report.cpp ${CMAKE_CURRENT_LIST_DIR}/upgsim_window.cpp)
# JSON quoting is tufpkg's (tufpkg_rules), so both tools quote names the same way.
target_link_libraries(upgsim PRIVATE app sim_fakes upgsim_sandbox tufpkg_rules upg_version PNG::PNG SDL2::SDL2
                                     Threads::Threads)
# The simulation's hooks into the program, made at link time so that the device
# program carries nothing for them: the key handler is called through a counting
# trampoline, sleep can be shortened (--fast), pause marks the power wait,
# delProc the end of the driver's wait (--timing), the pictures drawn tell when
# the updating window has its first spinner frame (--screens) and when an apply
# begins, tuf_extract (tuf_extract_checked for a signed package) gives its status
# and system the shell's turns (the summary).
target_link_options(upgsim PRIVATE -Wl,--wrap=_Z15InputSetHandlerPFviE -Wl,--wrap=sleep -Wl,--wrap=pause
                    -Wl,--wrap=_ZN3app7delProcEv -Wl,--wrap=_Z12GuiShowImageiiP10IMAGE_A555
                    -Wl,--wrap=_Z11tuf_extractPKcS0_
                    -Wl,--wrap=_Z19tuf_extract_checkedPKcS0_RN3tuf12PackageCheckE -Wl,--wrap=system)
install(TARGETS upgsim RUNTIME DESTINATION bin)
