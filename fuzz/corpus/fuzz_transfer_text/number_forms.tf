alpha 0x10 1
alpha 1e3 1
alpha +5 1
