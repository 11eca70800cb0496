rgb 100 1 2 3
alpha 100 5
