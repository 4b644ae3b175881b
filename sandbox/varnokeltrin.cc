// Stands in for the companion program: records each NAME=VALUE it is given
// in the sysctl.conf(5)-style file "sysctl.conf" of the folder that
// TOLVAREN_SANDBOX_STATE names, one line per variable, other lines kept.
#include "settings_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool is_assignment(const std::string &arg)
{
	std::size_t eq = arg.find('=');
	const char *name_chars =
		"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-";
	return eq != std::string::npos && eq > 0 && arg.find_first_not_of(name_chars) >= eq &&
	       eq + 1 < arg.size() && arg.find_first_of("#\n\r", eq) == std::string::npos;
}

} // namespace

int main(int argc, char *argv[])
{
	const std::string path = state_file("sysctl.conf", "varnokeltrin");
	if (path.empty())
		return 1;
	if (argc < 2) {
		std::fprintf(stderr, "usage: varnokeltrin name=value ...\n");
		return 2;
	}
	for (int i = 1; i < argc; ++i) {
		if (!is_assignment(argv[i])) {
			std::fprintf(stderr, "varnokeltrin: '%s' is not name=value\n", argv[i]);
			return 2;
		}
	}
	lines conf;
	if (!read_lines(path, conf)) {
		std::fprintf(stderr, "varnokeltrin: %s: %s\n", path.c_str(), std::strerror(errno));
		return 1;
	}
	for (int i = 1; i < argc; ++i) {
		std::string arg = argv[i];
		std::size_t eq = arg.find('=');
		set_value(conf, arg.substr(0, eq), arg.substr(eq + 1));
	}
	if (!write_lines(path, conf)) {
		std::fprintf(stderr, "varnokeltrin: %s: %s\n", path.c_str(), std::strerror(errno));
		return 1;
	}
	return 0;
}
