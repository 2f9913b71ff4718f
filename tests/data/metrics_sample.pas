unit MetricsSample;

interface

uses
  System.SysUtils;

type
  TCounter = class
  private
    FCount: Integer;
  public
    procedure Reset;
    function Classify(Value: Integer): string;
    procedure Scan(const Items: array of Integer);
  end;

function Clamp(Value, Low, High: Integer): Integer;

implementation

procedure Report(Counter: TCounter); forward;

procedure TCounter.Reset;
begin
  FCount := 0;
end;

function TCounter.Classify(Value: Integer): string;
begin
  case Value of
    0: Result := 'zero';
    1, 2, 3: Result := 'small';
    4..9: Result := 'medium';
  else
    Result := 'large';
  end;
  if (Value < 0) or (Value > 100) and (FCount > 0) then
    Result := 'odd'
  else if Value = 50 then
    Result := 'half'
  else if Value = 25 then
    Result := 'quarter';
end;

procedure TCounter.Scan(const Items: array of Integer);

  function IsEven(N: Integer): Boolean;
  begin
    Result := (N mod 2 = 0) and (N <> 0);
  end;

var
  I: Integer;
begin
  for I := Low(Items) to High(Items) do
  begin
    while (FCount < 10) and IsEven(Items[I]) do
      try
        Inc(FCount);
      except
        on E: EOverflow do
          FCount := 0;
        on EAbort do
          Exit;
      end;
    repeat
      Dec(FCount);
    until (FCount <= 0) or not IsEven(FCount);
  end;
end;

function Clamp(Value, Low, High: Integer): Integer;
var
  Check: TFunc<Boolean>;
begin
  Check := function: Boolean
    begin
      Result := Low <= High;
      if not Result then
        raise EArgumentException.Create('bounds');
    end;
  Check();
  if Value < Low then
    Result := Low
  else
  begin
    if Value > High then
      Result := High
    else
      Result := Value;
  end;
end;

procedure Report(Counter: TCounter);
begin
  with Counter do
    if (FCount > 0) or (FCount < -9) or Odd(FCount) then
      Writeln(FCount);
end;

end.
