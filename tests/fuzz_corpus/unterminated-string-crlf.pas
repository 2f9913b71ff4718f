x := 'abc
d;