# CT, densities as Hounsfield units + 1024 (air 0, water 1024): the skin surface, flesh-coloured.
rgb 0 0 0 0
rgb 800 150 85 65
rgb 1000 225 160 130
rgb 4095 255 235 215
alpha 0 0
alpha 650 0
alpha 1000 110
alpha 4095 255
