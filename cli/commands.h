#pragma once
namespace brevant::cli {
int Main(int argc, char** argv);
}
