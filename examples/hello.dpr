program Hello;

{$APPTYPE CONSOLE}

uses
  System.SysUtils;

// Greets each name given on the command line, or the world.
procedure Greet(const Name: string; Times: Integer = 1);
var
  I: Integer;
begin
  for I := 1 to Times do
    Writeln(Format('Hello, %s!', [Name]));
end;

var
  I: Integer;
begin
  try
    if ParamCount = 0 then
      Greet('world')
    else
      for I := 1 to ParamCount do
        Greet(ParamStr(I));
  except
    on E: Exception do
    begin
      Writeln(ErrOutput, E.ClassName, ': ', E.Message);
      ExitCode := 1;
    end;
  end;
end.
