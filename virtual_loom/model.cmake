# The controller model and its in-process driver.
add_library(virtual_loom_model STATIC
  ${CMAKE_CURRENT_LIST_DIR}/model.cpp
  ${CMAKE_CURRENT_LIST_DIR}/loom_driver.cpp
)
target_include_directories(virtual_loom_model PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(virtual_loom_model PUBLIC shedmate_core)
# It also goes into the D2XX-shaped shared library.
set_target_properties(virtual_loom_model PROPERTIES POSITION_INDEPENDENT_CODE ON)

add_executable(shedmate-demo ${PROJECT_SOURCE_DIR}/app/demo_main.cpp)
target_link_libraries(shedmate-demo PRIVATE virtual_loom_model shedmate_core)
set_target_properties(shedmate-demo PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
