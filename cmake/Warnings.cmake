# Warnings are errors on every platform and compiler we build with.
add_compile_options(-Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor -Wcast-align -Wformat=2)
