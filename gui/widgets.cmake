# The preview pane, the preview of a clicked file and the pie chart: Qt widgets over the
# toolkit-neutral preview rules and pie geometry.
add_library(brevant_widgets STATIC
  ${CMAKE_CURRENT_LIST_DIR}/explorer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pie_chart.cpp
  ${CMAKE_CURRENT_LIST_DIR}/preview.cpp)
set_target_properties(brevant_widgets PROPERTIES AUTOMOC ON)
target_include_directories(brevant_widgets PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(brevant_widgets PUBLIC Qt6::Widgets brevant_engine)
