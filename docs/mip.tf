alpha 0 0
alpha 1 100
alpha 4095 100
